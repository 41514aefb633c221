#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/Tick.h"

namespace dialvo::test {

// A clock that moves only when told to. Sleep blocks until Advance has moved
// the clock past the sleeper's wake time.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(uint32_t start = 0) : now_(start) {}
  uint32_t TickMs() override;
  void Sleep(uint32_t ms) override;
  void Advance(uint32_t ms);
  // Number of threads currently inside Sleep.
  int Sleepers() const;

 private:
  mutable std::mutex mutex_;  // guards now_ and sleepers_; taken by sleepers and the test
  std::condition_variable moved_;
  uint32_t now_;
  int sleepers_ = 0;
};

}  // namespace dialvo::test
