#pragma once
// Accounts found recently, so that the keep-alives and buddy-list requests of
// every logged-in user do not each open a database read transaction (SQLite
// serialises those across threads on a process-wide lock). Changes made
// through the owning store drop their entries at once; a change made by
// another process on the same file, such as "dialvo-server user del", is seen
// when the entry ages out. Only users that exist are remembered, so a new
// account is found at once and unknown names cannot fill the cache.
#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "server/Store.h"

namespace dialvo::server {

class UserCache {
 public:
  // maxAgeMs 0 remembers nothing.
  UserCache(int64_t maxAgeMs, size_t capacity, std::function<int64_t()> clockMs);

  bool Find(const std::string& key, UserRecord& out) const;
  // Take a ticket before reading the store and hand it to Put: a record read
  // while a change of this process was dropping entries is not remembered,
  // so an old password hash cannot slip back in.
  uint64_t Ticket() const;
  void Put(const std::string& key, const UserRecord& user, uint64_t ticket);
  void Forget(const std::string& key);
  void Clear();

 private:
  struct Entry {
    UserRecord user;
    int64_t storedMs = 0;
  };
  const int64_t maxAgeMs_;
  const size_t capacity_;
  const std::function<int64_t()> clockMs_;
  // Guards entries_ and changes_; shared by lookups and tickets, exclusive
  // for Put, Forget and Clear.
  mutable std::shared_mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;  // by lower-case name
  uint64_t changes_ = 0;                            // Forget and Clear calls
};

}  // namespace dialvo::server
