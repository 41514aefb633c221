#pragma once
// The embedded store: one SQLite file in WAL mode, so readers never wait for
// the writer. Each thread borrows a connection from a small pool; writes of
// this process are serialised by a mutex so that they never sleep in
// SQLite's busy handler (another process, such as "dialvo-server user add",
// is waited for up to five seconds).
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/HttpTypes.h"
#include "server/Store.h"
#include "server/UserCache.h"

namespace dialvo::server {

struct SqliteStoreOptions {
  // How long FindUser may answer from memory; see UserCache.
  int64_t userCacheMs = 2000;
  size_t userCacheCapacity = 200000;
  WallClock clockMs;  // empty: the system clock
};

class SqliteStore final : public Store {
 public:
  // Opens or creates the database file (mode 0600) and its tables. nullptr,
  // with the reason in error, when that fails.
  static std::unique_ptr<SqliteStore> Open(const std::string& path, std::string& error,
                                           SqliteStoreOptions options = {});
  ~SqliteStore() override;
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

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

  struct Connection;

 private:
  SqliteStore(std::string path, SqliteStoreOptions options);

  class Lease;
  std::unique_ptr<Connection> Acquire();
  void Release(std::unique_ptr<Connection> connection);

  const std::string path_;
  // Guards idle_; taken briefly by every thread that runs a store operation.
  std::mutex poolMutex_;
  std::vector<std::unique_ptr<Connection>> idle_;
  // Held for each write transaction of this process; taken by request
  // threads, the sweeper and the account commands.
  std::mutex writeMutex_;
  UserCache users_;
};

}  // namespace dialvo::server
