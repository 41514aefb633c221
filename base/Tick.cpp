#include "base/Tick.h"

#include <time.h>

#include <cerrno>

namespace dialvo {

uint32_t GetTickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t ms) {
  timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &req, &req) == EINTR) {
  }
}

timespec MonotonicDeadline(uint32_t timeoutMs) {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += timeoutMs / 1000;
  ts.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

namespace {
class RealClock final : public Clock {
 public:
  uint32_t TickMs() override { return GetTickCount(); }
  void Sleep(uint32_t ms) override { SleepMs(ms); }
};
}  // namespace

Clock& SystemClock() {
  static RealClock clock;
  return clock;
}

}  // namespace dialvo
