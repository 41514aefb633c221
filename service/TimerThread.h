#pragma once
// The thread that runs all periodic service traffic, fed with thread
// messages so that a slow or unreachable service never blocks the owner.
#include <cstdint>
#include <functional>

#include "base/NamedThread.h"
#include "base/ThreadMessages.h"

namespace dialvo {

inline constexpr uint32_t WM_TIMER_QUIT = kUserMessageBase + 120;   // 1144
inline constexpr uint32_t WM_TIMER_TICK = kUserMessageBase + 121;   // 1145
inline constexpr uint32_t WM_CALL_REPORT = kUserMessageBase + 122;  // 1146

class TimerThread {
 public:
  // Runs on the thread for every message but WM_TIMER_QUIT. A message that
  // is directly followed by another of the same number is merged away:
  // the handler sees it with mergedAway true (to release its record) and
  // acts only on the last one. Messages still queued when the thread has
  // ended (or that it never got to) are handed over the same way by Stop.
  using Handler = std::function<void(const ThreadMessage& message, bool mergedAway)>;

  explicit TimerThread(Handler handler);
  ~TimerThread();  // Stop
  TimerThread(const TimerThread&) = delete;
  TimerThread& operator=(const TimerThread&) = delete;

  bool Start();
  // From the owner's thread: posts WM_TIMER_QUIT, waits until the thread has
  // ended, then releases what is left in the queue. The thread cannot be
  // started again.
  void Stop();
  void Post(uint32_t message, uintptr_t wParam = 0, uintptr_t lParam = 0);

 private:
  uint32_t Run();

  Handler handler_;
  MessageQueue queue_;
  NamedThread thread_;
  bool started_ = false;  // owner's thread only
};

}  // namespace dialvo
