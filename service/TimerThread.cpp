#include "service/TimerThread.h"

namespace dialvo {

TimerThread::TimerThread(Handler handler)
    : handler_(std::move(handler)),
      thread_([this](void*) { return Run(); }, nullptr, "The infamous Timer Thread!", false) {}

TimerThread::~TimerThread() { Stop(); }

bool TimerThread::Start() {
  started_ = thread_.Start(false);
  return started_;
}

void TimerThread::Stop() {
  if (started_) {
    started_ = false;
    Post(WM_TIMER_QUIT);
    thread_.Wait(kInfinite);
    thread_.Close();
  }
  while (auto message = queue_.TryGet()) {
    if (message->message != WM_TIMER_QUIT && handler_) handler_(*message, true);
  }
}

void TimerThread::Post(uint32_t message, uintptr_t wParam, uintptr_t lParam) {
  queue_.Post({message, wParam, lParam});
}

uint32_t TimerThread::Run() {
  for (;;) {
    ThreadMessage message = queue_.Get();
    while (auto next = queue_.PeekNext()) {
      if (next->message != message.message) break;
      if (message.message != WM_TIMER_QUIT && handler_) handler_(message, true);
      message = queue_.Get();
    }
    if (message.message == WM_TIMER_QUIT) return 0;
    if (handler_) handler_(message, false);
  }
}

}  // namespace dialvo
