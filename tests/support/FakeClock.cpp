#include "tests/support/FakeClock.h"

namespace dialvo::test {

uint32_t FakeClock::TickMs() {
  std::lock_guard lock(mutex_);
  return now_;
}

void FakeClock::Sleep(uint32_t ms) {
  std::unique_lock lock(mutex_);
  const uint32_t start = now_;
  ++sleepers_;
  moved_.notify_all();
  moved_.wait(lock, [&] { return now_ - start >= ms; });
  --sleepers_;
}

void FakeClock::Advance(uint32_t ms) {
  {
    std::lock_guard lock(mutex_);
    now_ += ms;
  }
  moved_.notify_all();
}

int FakeClock::Sleepers() const {
  std::lock_guard lock(mutex_);
  return sleepers_;
}

}  // namespace dialvo::test
