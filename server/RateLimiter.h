#pragma once
// Per-source rate limit: `burst` requests at once, then one per intervalMs.
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace dialvo::server {

class RateLimiter {
 public:
  RateLimiter(int burst, int64_t intervalMs);
  // True when the source may go ahead now (and counts the request).
  bool Allow(uint32_t source, int64_t nowMs);
  // Forgets sources that could send a full burst again.
  void Sweep(int64_t nowMs);

 private:
  const int64_t intervalMs_;
  const int64_t toleranceMs_;  // how far ahead of now a source may have spent
  // Guards due_; taken by request threads and the sweeper.
  std::mutex mutex_;
  // Per source: when its credit is back to full (a virtual schedule).
  std::unordered_map<uint32_t, int64_t> due_;
};

}  // namespace dialvo::server
