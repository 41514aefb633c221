#pragma once
// Per-source rate limit: `burst` requests at once, then one per intervalMs.
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace dialvo::server {

class RateLimiter {
 public:
  // At most `capacity` sources are tracked; past that, new ones are refused.
  RateLimiter(int burst, int64_t intervalMs, size_t capacity = 100000);
  // True when the source may go ahead now (and counts the request).
  bool Allow(uint32_t source, int64_t nowMs);
  // Forgets sources that could send a full burst again.
  void Sweep(int64_t nowMs);

 private:
  const size_t capacity_;
  const int64_t intervalMs_;
  const int64_t toleranceMs_;  // how far ahead of now a source may have spent
  // Guards due_; taken by request threads and the sweeper.
  std::mutex mutex_;
  // Per source: when its credit is back to full (a virtual schedule).
  std::unordered_map<uint32_t, int64_t> due_;
};

}  // namespace dialvo::server
