#include "app/PostedCall.h"

#include <QCoreApplication>

// Qt's event queue hands the call from thread to thread under locks that
// ThreadSanitizer does not see (Qt is not built for it); in its builds the
// hand-over is told to it directly.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DIALVO_TSAN_HANDOVER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define DIALVO_TSAN_HANDOVER 1
#endif
#ifdef DIALVO_TSAN_HANDOVER
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace dialvo {

namespace {

void Released(void* event) {
#ifdef DIALVO_TSAN_HANDOVER
  __tsan_release(event);
#else
  (void)event;
#endif
}

void Acquired(void* event) {
#ifdef DIALVO_TSAN_HANDOVER
  __tsan_acquire(event);
#else
  (void)event;
#endif
}

const QEvent::Type kPostedCall = static_cast<QEvent::Type>(QEvent::registerEventType());

class PostedCallEvent final : public QEvent {
 public:
  explicit PostedCallEvent(std::function<void()> function)
      : QEvent(kPostedCall), function_(std::move(function)) {}
  void Run() { function_(); }

 private:
  std::function<void()> function_;
};

}  // namespace

void PostCall(QObject* receiver, std::function<void()> function) {
  auto* event = new PostedCallEvent(std::move(function));
  Released(event);
  // Qt owns the event from here on and deletes it after delivery.
  QCoreApplication::postEvent(receiver, event);
}

bool RunPostedCall(QEvent* event) {
  Acquired(event);
  if (event->type() != kPostedCall) return false;
  static_cast<PostedCallEvent*>(event)->Run();
  return true;
}

}  // namespace dialvo
