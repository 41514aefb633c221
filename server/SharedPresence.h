#pragma once
// Presence shared by several service processes on one database. Each
// process still answers every request from its own Presence; this brings in
// what the others did: all live logins at most every refreshMs (so a buddy
// on another process is listed within that time), and one login at once
// when a keep-alive finds none here because it logged in elsewhere.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "server/Presence.h"
#include "server/Store.h"

namespace dialvo::server {

class SharedPresence {
 public:
  SharedPresence(SharedLogins& logins, Presence& presence, int64_t lifetimeMs, int64_t refreshMs,
                 std::string endedReason);

  // Refreshes when the last refresh is refreshMs old. One thread refreshes;
  // the others go on with what this process holds.
  void MaybeRefresh(int64_t nowMs);
  bool Refresh(int64_t nowMs);

  // For a keep-alive whose login is not here: kSame when the database holds
  // it (now taken in), kReplaced when a login of another instance replaced
  // it, else kNone.
  enum class Found { kSame, kReplaced, kNone };
  Found Recover(int64_t userId, std::string_view instanceGuid, int64_t nowMs);

  // Drops the logins nobody kept alive for lifetime + slackMs.
  void Sweep(int64_t slackMs);

 private:
  SharedLogins& logins_;
  Presence& presence_;
  const int64_t lifetimeMs_;
  const int64_t refreshMs_;
  const std::string endedReason_;
  // Held by the one thread refreshing; others try it and go on.
  std::mutex refreshMutex_;
  std::atomic<int64_t> refreshedMs_;
};

}  // namespace dialvo::server
