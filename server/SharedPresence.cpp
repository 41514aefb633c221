#include "server/SharedPresence.h"

#include <limits>
#include <utility>
#include <vector>

namespace dialvo::server {

SharedPresence::SharedPresence(SharedLogins& logins, Presence& presence, int64_t lifetimeMs,
                               int64_t refreshMs, std::string endedReason)
    : logins_(logins),
      presence_(presence),
      lifetimeMs_(lifetimeMs),
      refreshMs_(refreshMs),
      endedReason_(std::move(endedReason)),
      refreshedMs_(std::numeric_limits<int64_t>::min() / 2) {}

void SharedPresence::MaybeRefresh(int64_t nowMs) {
  if (nowMs - refreshedMs_.load() < refreshMs_) return;
  std::unique_lock lock(refreshMutex_, std::try_to_lock);
  if (!lock.owns_lock() || nowMs - refreshedMs_.load() < refreshMs_) return;
  Refresh(nowMs);
}

bool SharedPresence::Refresh(int64_t nowMs) {
  // Read before the database, so that logins started here meanwhile stay.
  const uint64_t since = presence_.Epoch();
  std::vector<LoginRecord> logins;
  // A database that does not answer is not asked again before the next
  // period: the logins held here keep serving meanwhile.
  refreshedMs_ = nowMs;
  if (logins_.LiveLogins(lifetimeMs_, nowMs, logins) != StoreStatus::kOk) return false;
  presence_.Merge(logins, true, since, endedReason_, nowMs);
  return true;
}

SharedPresence::Found SharedPresence::Recover(int64_t userId, std::string_view instanceGuid,
                                              int64_t nowMs) {
  const uint64_t since = presence_.Epoch();
  LoginRecord login;
  std::string replaced;
  if (logins_.LiveLogin(userId, lifetimeMs_, nowMs, login, replaced) != StoreStatus::kOk) {
    return Found::kNone;
  }
  presence_.Merge({login}, false, since, endedReason_, nowMs);
  if (login.instanceGuid == instanceGuid) return Found::kSame;
  return replaced == instanceGuid ? Found::kReplaced : Found::kNone;
}

void SharedPresence::Sweep(int64_t slackMs) { logins_.DeleteExpiredLogins(lifetimeMs_ + slackMs); }

}  // namespace dialvo::server
