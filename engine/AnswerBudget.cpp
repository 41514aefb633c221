#include "engine/AnswerBudget.h"

#include <algorithm>

namespace dialvo {

AnswerBudget::AnswerBudget(uint32_t burstBytes, uint32_t refillBytesPerSecond)
    : burst_(int64_t{burstBytes} * 1000), refill_(refillBytesPerSecond) {}

AnswerBudget::Entry& AnswerBudget::Refilled(uint32_t ip, uint32_t nowMs) {
  auto it = entries_.find(ip);
  if (it == entries_.end()) {
    if (entries_.size() >= kMaxSources) Forget(nowMs);
    return entries_.emplace(ip, Entry{burst_, nowMs}).first->second;
  }
  Entry& e = it->second;
  const uint32_t elapsed = nowMs - e.tick;  // unsigned: the tick count may wrap
  e.milli = std::min(burst_, e.milli + int64_t{elapsed} * refill_);
  e.tick = nowMs;
  return e;
}

void AnswerBudget::Forget(uint32_t nowMs) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    const int64_t now = it->second.milli + int64_t{nowMs - it->second.tick} * refill_;
    it = now >= burst_ ? entries_.erase(it) : std::next(it);
  }
  while (entries_.size() >= kMaxSources) {
    auto oldest = std::max_element(entries_.begin(), entries_.end(), [&](auto& a, auto& b) {
      return nowMs - a.second.tick < nowMs - b.second.tick;
    });
    entries_.erase(oldest);
  }
}

bool AnswerBudget::Spend(uint32_t ip, uint32_t bytes, uint32_t nowMs) {
  std::lock_guard lock(mutex_);
  Entry& e = Refilled(ip, nowMs);
  const int64_t cost = int64_t{bytes} * 1000;
  if (e.milli < cost) return false;
  e.milli -= cost;
  return true;
}

void AnswerBudget::Charge(uint32_t ip, uint32_t bytes, uint32_t nowMs) {
  std::lock_guard lock(mutex_);
  Entry& e = Refilled(ip, nowMs);
  e.milli = std::max(-4 * burst_, e.milli - int64_t{bytes} * 1000);
}

void AnswerBudget::Refund(uint32_t ip, uint32_t bytes, uint32_t nowMs) {
  std::lock_guard lock(mutex_);
  Entry& e = Refilled(ip, nowMs);
  e.milli = std::min(burst_, e.milli + int64_t{bytes} * 1000);
}

}  // namespace dialvo
