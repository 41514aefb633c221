#include "base/PeriodicTimer.h"

#include <chrono>

namespace dialvo {

PeriodicTimer::~PeriodicTimer() { Stop(); }

bool PeriodicTimer::Start(uint32_t periodMs, std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  if (running_ || periodMs == 0 || thread_.joinable()) return false;
  callback_ = std::move(callback);
  stop_ = false;
  running_ = true;
  thread_ = std::thread([this, periodMs] { Run(periodMs); });
  return true;
}

void PeriodicTimer::Run(uint32_t periodMs) {
  using Clock = std::chrono::steady_clock;
  auto next = Clock::now() + std::chrono::milliseconds(periodMs);
  std::unique_lock lock(mutex_);
  while (!stop_) {
    if (wake_.wait_until(lock, next, [this] { return stop_; })) break;
    lock.unlock();
    callback_();
    lock.lock();
    next += std::chrono::milliseconds(periodMs);
    // A callback that overran skips the periods it missed instead of
    // firing them back to back.
    const auto now = Clock::now();
    if (next < now) next = now + std::chrono::milliseconds(periodMs);
  }
  running_ = false;
}

void PeriodicTimer::Stop() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    if (thread_.get_id() == std::this_thread::get_id()) return;
    thread = std::move(thread_);
  }
  wake_.notify_all();
  if (thread.joinable()) thread.join();
}

bool PeriodicTimer::IsRunning() const {
  std::lock_guard lock(mutex_);
  return running_;
}

}  // namespace dialvo
