#include "server/UserCache.h"

#include <mutex>

namespace dialvo::server {

UserCache::UserCache(int64_t maxAgeMs, size_t capacity, std::function<int64_t()> clockMs)
    : maxAgeMs_(maxAgeMs), capacity_(capacity), clockMs_(std::move(clockMs)) {}

bool UserCache::Find(const std::string& key, UserRecord& out) const {
  if (maxAgeMs_ <= 0) return false;
  const int64_t now = clockMs_();
  std::shared_lock lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  // A clock set back makes the age negative: such an entry is stale too.
  const int64_t age = now - it->second.storedMs;
  if (age < 0 || age >= maxAgeMs_) return false;
  out = it->second.user;
  return true;
}

uint64_t UserCache::Ticket() const {
  std::shared_lock lock(mutex_);
  return changes_;
}

void UserCache::Put(const std::string& key, const UserRecord& user, uint64_t ticket) {
  if (maxAgeMs_ <= 0) return;
  const int64_t now = clockMs_();
  std::unique_lock lock(mutex_);
  if (ticket != changes_) return;
  // Starting over when full is cheap and keeps the memory bounded; the
  // entries that matter come back with the next request of each user.
  if (entries_.size() >= capacity_ && !entries_.contains(key)) entries_.clear();
  entries_.insert_or_assign(key, Entry{user, now});
}

void UserCache::Forget(const std::string& key) {
  std::unique_lock lock(mutex_);
  ++changes_;
  entries_.erase(key);
}

void UserCache::Clear() {
  std::unique_lock lock(mutex_);
  ++changes_;
  entries_.clear();
}

}  // namespace dialvo::server
