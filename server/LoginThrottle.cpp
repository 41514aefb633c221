#include "server/LoginThrottle.h"

#include <algorithm>

namespace dialvo::server {

LoginThrottle::LoginThrottle(Policy policy) : policy_(policy) {}

int64_t LoginThrottle::WaitMs(const std::string& key, int64_t nowMs) const {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(key);
  if (it == entries_.end()) return 0;
  return std::max<int64_t>(0, it->second.blockedUntilMs - nowMs);
}

void LoginThrottle::Failed(const std::string& key, int64_t nowMs) {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    if (entries_.size() >= policy_.capacity) {
      std::erase_if(entries_, [&](const auto& entry) {
        return nowMs - entry.second.lastFailureMs > policy_.forgetMs;
      });
      if (entries_.size() >= policy_.capacity) return;
    }
    it = entries_.emplace(key, Entry{}).first;
  }
  Entry& entry = it->second;
  entry.failures = std::min(entry.failures + 1, 1000);
  entry.lastFailureMs = nowMs;
  const int over = entry.failures - policy_.freeFailures + 1;
  if (over <= 0) return;
  int64_t wait = policy_.baseMs;
  for (int i = 1; i < over && wait < policy_.maxMs; ++i) wait *= 2;
  entry.blockedUntilMs = nowMs + std::min(wait, policy_.maxMs);
}

void LoginThrottle::Succeeded(const std::string& key) {
  std::lock_guard lock(mutex_);
  entries_.erase(key);
}

void LoginThrottle::Sweep(int64_t nowMs) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [&](const auto& entry) {
    return nowMs - entry.second.lastFailureMs > policy_.forgetMs &&
           entry.second.blockedUntilMs <= nowMs;
  });
}

size_t LoginThrottle::Size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace dialvo::server
