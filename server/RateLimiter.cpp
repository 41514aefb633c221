#include "server/RateLimiter.h"

#include <algorithm>

namespace dialvo::server {

RateLimiter::RateLimiter(int burst, int64_t intervalMs, size_t capacity)
    : capacity_(capacity),
      intervalMs_(intervalMs),
      toleranceMs_(static_cast<int64_t>(std::max(burst, 1)) * intervalMs) {}

bool RateLimiter::Allow(uint32_t source, int64_t nowMs) {
  std::lock_guard lock(mutex_);
  if (due_.size() >= capacity_ && !due_.contains(source)) {
    std::erase_if(due_, [&](const auto& entry) { return entry.second <= nowMs; });
    // A hard cap: with the table full of sources still waiting, new ones
    // wait too rather than growing it.
    if (due_.size() >= capacity_) return false;
  }
  auto [it, inserted] = due_.try_emplace(source, nowMs);
  const int64_t next = std::max(it->second, nowMs) + intervalMs_;
  if (next - nowMs > toleranceMs_) return false;
  it->second = next;
  return true;
}

void RateLimiter::Sweep(int64_t nowMs) {
  std::lock_guard lock(mutex_);
  std::erase_if(due_, [&](const auto& entry) { return entry.second <= nowMs; });
}

}  // namespace dialvo::server
