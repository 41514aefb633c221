#include "app/PostedCall.h"

#include <QCoreApplication>

namespace dialvo {

namespace {

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
  // Qt owns the event from here on and deletes it after delivery.
  QCoreApplication::postEvent(receiver, new PostedCallEvent(std::move(function)));
}

bool RunPostedCall(QEvent* event) {
  if (event->type() != kPostedCall) return false;
  static_cast<PostedCallEvent*>(event)->Run();
  return true;
}

}  // namespace dialvo
