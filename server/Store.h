#pragma once
// What the service keeps: accounts, buddy lists, a persisted copy of the
// live logins (so a restart does not log everybody off), call sessions and
// feedback. The interface speaks in plain records so that another database
// (PostgreSQL) can implement it; the embedded default is SqliteStore.
//
// Every operation is safe to call from several threads at once and reports
// kFailed for a database error (never an exception). Names compare without
// regard to ASCII case.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dialvo::server {

enum class StoreStatus { kOk, kNotFound, kExists, kFailed };

struct UserRecord {
  int64_t id = 0;
  std::string name;          // as registered
  std::string passwordHash;  // Argon2id string, never the password
  int64_t createdMs = 0;
};

// A login as buddies see it. Times are milliseconds since the Unix epoch.
// Call reports kept per user; older ones are dropped as new ones come.
constexpr size_t kMaxReportsPerUser = 200;

struct LoginRecord {
  int64_t userId = 0;
  std::string userName;
  std::string instanceGuid;
  std::string address;  // published to buddies: dotted address, host name or "LAN"
  int ipType = 0;
  int listeningPort = 1720;
  int version = 0;
  std::string sourceIp;  // where the last logmein or iamup came from
  int64_t startedMs = 0;
  int64_t lastSeenMs = 0;
  // Handed out with the login for its call reports; memory only, so logins
  // taken over from an earlier run have none.
  std::string reportKey;
};

struct CallParticipant {
  std::string name;
  int64_t minutes = 0;
  int64_t avgDelayMs = 0;
};

struct CallSummary {
  int64_t sessionId = 0;
  int64_t startedMs = 0;
  int64_t lastReportMs = 0;                   // of this reporter
  bool recorded = false;                      // this reporter was recording
  std::vector<CallParticipant> participants;  // as the user last reported them
};

// Logins as every service process on one database sees them. Ages are kept
// in the database's time, so processes whose clocks disagree (other machines,
// monotonic clocks) agree on who is online; answers come in the caller's
// clock, nowMs.
class SharedLogins {
 public:
  virtual ~SharedLogins() = default;
  // Every login seen within lifetimeMs, by any process.
  virtual StoreStatus LiveLogins(int64_t lifetimeMs, int64_t nowMs,
                                 std::vector<LoginRecord>& logins) = 0;
  // replacedInstance: the instance whose login this one replaced, if any.
  virtual StoreStatus LiveLogin(int64_t userId, int64_t lifetimeMs, int64_t nowMs,
                                LoginRecord& login, std::string& replacedInstance) = 0;
  virtual StoreStatus DeleteExpiredLogins(int64_t lifetimeMs) = 0;
};

class Store {
 public:
  virtual ~Store() = default;

  // Accounts.
  virtual StoreStatus AddUser(std::string_view name, std::string_view passwordHash,
                              int64_t nowMs) = 0;
  // Removes the account with its buddy list, login and call reports.
  virtual StoreStatus DeleteUser(std::string_view name) = 0;
  virtual StoreStatus FindUser(std::string_view name, UserRecord& out) = 0;
  virtual StoreStatus SetPasswordHash(int64_t userId, std::string_view passwordHash) = 0;
  virtual StoreStatus ListUsers(std::vector<std::string>& names) = 0;
  // Names starting with the prefix (any case), in name order, at most limit.
  virtual StoreStatus SearchUsers(std::string_view fragment, size_t limit,
                                  std::vector<std::string>& names) = 0;

  // Buddy lists, in the user's order.
  virtual StoreStatus GetBuddyList(int64_t userId, std::vector<std::string>& names) = 0;
  virtual StoreStatus SetBuddyList(int64_t userId, const std::vector<std::string>& names) = 0;

  // Persisted copy of the live logins, one per user.
  virtual StoreStatus SaveLogin(const LoginRecord& login) = 0;  // insert or replace
  // kNotFound when the user has no login stored, kExists when the stored one
  // is another instance's (which a late keep-alive must not overwrite).
  virtual StoreStatus TouchLogin(int64_t userId, std::string_view instanceGuid,
                                 int64_t lastSeenMs) = 0;
  virtual StoreStatus DeleteLogin(int64_t userId, std::string_view instanceGuid) = 0;
  virtual StoreStatus LoadLogins(int64_t seenSinceMs, std::vector<LoginRecord>& logins) = 0;
  virtual StoreStatus DeleteLoginsSeenBefore(int64_t ms) = 0;

  // Call reports. The session number stays the same for one conference GUID;
  // each report replaces what that reporter said before about the call.
  virtual StoreStatus ReportCall(std::string_view conferenceGuid, int64_t reporterId,
                                 const std::vector<CallParticipant>& participants, bool recorded,
                                 int64_t nowMs, int64_t& sessionId) = 0;
  // The reporter's most recent calls, newest first.
  virtual StoreStatus RecentCalls(int64_t reporterId, size_t limit,
                                  std::vector<CallSummary>& calls) = 0;

  // userId 0: anonymous.
  virtual StoreStatus AddFeedback(int64_t userId, std::string_view text, int64_t nowMs) = 0;

  // The service's named secret (64 hexadecimal digits), made at random on
  // first use and then the same for every process on this database, so that
  // a token one process signs another accepts.
  virtual StoreStatus Secret(std::string_view name, std::string& value) = 0;

  // Non-null when several processes may share this store's logins.
  virtual SharedLogins* Shared() { return nullptr; }
};

}  // namespace dialvo::server
