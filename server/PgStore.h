#pragma once
// The store for several service processes on one PostgreSQL database. Each
// thread borrows a libpq connection from a small pool. The live logins sit in
// an unlogged table written without waiting for a flush: they are re-sent by
// every program within one keep-alive period, so losing them in a database
// crash costs nothing that matters, while accounts and buddy lists are
// written durably.
//
// Ages of logins are kept in the database's time, so that processes on
// machines whose clocks disagree still agree on who is online; every answer
// is translated into the caller's clock.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/HttpTypes.h"
#include "server/Store.h"
#include "server/UserCache.h"

namespace dialvo::server {

struct PgStoreOptions {
  // How long FindUser may answer from memory; see UserCache. Another
  // process's change of a password is seen within this age.
  int64_t userCacheMs = 2000;
  size_t userCacheCapacity = 200000;
  WallClock clockMs;  // the caller's clock; empty: the system clock
  // The database's time in milliseconds since the epoch; tests move it with
  // their own clock. Empty: the database server's clock.
  std::function<int64_t()> databaseClockMs;
};

// True for a --db value that names a PostgreSQL database.
bool IsPostgresUrl(std::string_view db);

class PgStore final : public Store, public SharedLogins {
 public:
  // Connects, then creates or migrates the tables. nullptr, with the reason
  // in error, when that fails.
  static std::unique_ptr<PgStore> Open(const std::string& conninfo, std::string& error,
                                       PgStoreOptions options = {});
  ~PgStore() override;
  PgStore(const PgStore&) = delete;
  PgStore& operator=(const PgStore&) = delete;

  StoreStatus AddUser(std::string_view name, std::string_view passwordHash, int64_t nowMs) override;
  StoreStatus DeleteUser(std::string_view name) override;
  StoreStatus FindUser(std::string_view name, UserRecord& out) override;
  StoreStatus SetPasswordHash(int64_t userId, std::string_view passwordHash) override;
  StoreStatus ListUsers(std::vector<std::string>& names) override;
  StoreStatus SearchUsers(std::string_view fragment, size_t limit,
                          std::vector<std::string>& names) override;
  StoreStatus GetBuddyList(int64_t userId, std::vector<std::string>& names) override;
  StoreStatus SetBuddyList(int64_t userId, const std::vector<std::string>& names) override;
  StoreStatus SaveLogin(const LoginRecord& login) override;
  StoreStatus TouchLogin(int64_t userId, std::string_view instanceGuid,
                         int64_t lastSeenMs) override;
  StoreStatus DeleteLogin(int64_t userId, std::string_view instanceGuid) override;
  StoreStatus LoadLogins(int64_t seenSinceMs, std::vector<LoginRecord>& logins) override;
  StoreStatus DeleteLoginsSeenBefore(int64_t ms) override;
  StoreStatus ReportCall(std::string_view conferenceGuid, int64_t reporterId,
                         const std::vector<CallParticipant>& participants, bool recorded,
                         int64_t nowMs, int64_t& sessionId) override;
  StoreStatus RecentCalls(int64_t reporterId, size_t limit,
                          std::vector<CallSummary>& calls) override;
  StoreStatus AddFeedback(int64_t userId, std::string_view text, int64_t nowMs) override;
  StoreStatus Secret(std::string_view name, std::string& value) override;
  SharedLogins* Shared() override { return this; }

  StoreStatus LiveLogins(int64_t lifetimeMs, int64_t nowMs,
                         std::vector<LoginRecord>& logins) override;
  StoreStatus LiveLogin(int64_t userId, int64_t lifetimeMs, int64_t nowMs, LoginRecord& login,
                        std::string& replacedInstance) override;
  StoreStatus DeleteExpiredLogins(int64_t lifetimeMs) override;

  struct Connection;

 private:
  PgStore(std::string conninfo, PgStoreOptions options);

  class Lease;
  std::unique_ptr<Connection> Acquire();
  void Release(std::unique_ptr<Connection> connection);
  std::string DatabaseNow() const;
  std::string Ms(int64_t value) const { return std::to_string(value); }

  const std::string conninfo_;
  const PgStoreOptions options_;
  // Guards idle_; taken briefly by every thread that runs a store operation.
  std::mutex poolMutex_;
  std::vector<std::unique_ptr<Connection>> idle_;
  UserCache users_;
};

}  // namespace dialvo::server
