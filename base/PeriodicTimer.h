#pragma once
// A periodic timer on a thread of its own: the callback runs every period at
// a fixed rate until Stop. The callback never runs twice at once.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace dialvo {

class PeriodicTimer {
 public:
  PeriodicTimer() = default;
  ~PeriodicTimer();
  PeriodicTimer(const PeriodicTimer&) = delete;
  PeriodicTimer& operator=(const PeriodicTimer&) = delete;

  // False when already running or periodMs is 0.
  bool Start(uint32_t periodMs, std::function<void()> callback);
  // Returns once the callback is no longer running. From inside the
  // callback it only asks the timer to stop.
  void Stop();
  bool IsRunning() const;

 private:
  void Run(uint32_t periodMs);

  std::function<void()> callback_;
  mutable std::mutex mutex_;  // guards stop_ and running_; taken by the owner and the timer thread
  std::condition_variable wake_;
  bool stop_ = false;
  bool running_ = false;
  std::thread thread_;
};

}  // namespace dialvo
