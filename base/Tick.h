#pragma once
// Millisecond tick count and sleeping, with an injectable clock for code that
// paces or expires things.
#include <time.h>

#include <cstdint>

namespace dialvo {

// Milliseconds of a monotonic clock, truncated to 32 bits: it wraps after
// about 49.7 days, so differences must be taken with unsigned subtraction.
uint32_t GetTickCount();

void SleepMs(uint32_t ms);

// The CLOCK_MONOTONIC time timeoutMs from now, for the platform's timed waits.
timespec MonotonicDeadline(uint32_t timeoutMs);

class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint32_t TickMs() = 0;
  virtual void Sleep(uint32_t ms) = 0;
};

// The process-wide real clock.
Clock& SystemClock();

}  // namespace dialvo
