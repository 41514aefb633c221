#pragma once
// Who is logged in: one live login per user, kept in memory so that a
// getuserlist with a hundred buddies costs a hundred hash lookups and no
// database query. The service writes every change through to the store
// (keep-alive times at most every persistEveryMs) and loads the store's copy
// at start, so a restart logs nobody off.
//
// A login lives while now - lastSeen <= lifetimeMs. Expired logins are
// ignored at once and removed by Sweep.
#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/Store.h"

namespace dialvo::server {

// What a logmein or iamup publishes to buddies.
struct Published {
  std::string address;
  int ipType = 0;
  int listeningPort = 1720;
  int version = 0;
  std::string sourceIp;
  friend bool operator==(const Published&, const Published&) = default;
};

class Presence {
 public:
  Presence(int64_t lifetimeMs, int64_t persistEveryMs);

  // Adds logins persisted by an earlier run (keys are lower-case names).
  void Load(const std::vector<LoginRecord>& logins);

  // Starts the login of user `key`. A live login of the same user from
  // another instance ends, and that instance's next keep-alive learns
  // endedReason. A login of another user from the same instance is left to
  // expire (or be logged off): anybody can send any InstanceGUID.
  struct StartResult {
    bool endedOtherInstance = false;
  };
  StartResult Start(const std::string& key, const LoginRecord& login, std::string_view endedReason);

  enum class Keepalive { kAlive, kUnknown, kEnded };
  struct TouchResult {
    Keepalive state = Keepalive::kUnknown;
    std::string endedReason;  // kEnded
    bool changed = false;     // published values changed: save the whole login
    bool persist = false;     // only the keep-alive time is due for the store
    bool unsaved = false;     // an earlier write failed: save the whole login
    LoginRecord login;        // the login after the keep-alive (kAlive)
  };
  TouchResult Touch(const std::string& key, std::string_view instanceGuid,
                    const Published& published, int64_t nowMs);

  // The store did not take what the last keep-alive of this login was to
  // write (it was down): the next one saves the whole login, whenever it
  // comes, rather than waiting out another persist period.
  void Unsaved(const std::string& key, std::string_view instanceGuid);

  // Ends the login when it belongs to this instance.
  bool End(const std::string& key, std::string_view instanceGuid);

  bool Find(const std::string& key, int64_t nowMs, LoginRecord& out) const;
  bool FindByInstance(std::string_view instanceGuid, int64_t nowMs, LoginRecord& out) const;

  // Appends the buddy elements (BuddyElement) of the live logins among the
  // names (any case), in the order asked, each once; returns how many.
  size_t AppendOnline(const std::vector<std::string_view>& names, int64_t nowMs,
                      std::string& elements) const;

  // Forgets expired logins and old ended-login notes; returns how many
  // logins it removed.
  size_t Sweep(int64_t nowMs);
  size_t LiveCount(int64_t nowMs) const;

  // Takes in the logins of the other processes on a shared database.
  // `complete`: they are all the live logins, so one missing here ended
  // elsewhere. Logins started or changed here after `since` (an Epoch() read
  // before the database was) are newer than the list and kept as they are.
  // A login of another instance replaces this one's, whose next keep-alive
  // learns endedReason.
  void Merge(const std::vector<LoginRecord>& logins, bool complete, uint64_t since,
             std::string_view endedReason, int64_t nowMs);
  uint64_t Epoch() const { return epoch_.load(); }

 private:
  struct Slot {
    LoginRecord login;    // lastSeenMs unused: see lastSeen
    std::string element;  // its getuserlist element, rendered when login changes
    std::atomic<int64_t> lastSeen{0};
    std::atomic<int64_t> persistedSeen{0};
    std::atomic<bool> unsaved{false};
    uint64_t epoch = 0;  // epoch_ when started or changed here; 0: merged
  };
  struct Ended {
    std::string reason;
    int64_t endedMs = 0;
  };

  bool Live(const Slot& slot, int64_t nowMs) const;
  static std::unique_ptr<Slot> MakeSlot(const LoginRecord& login);
  static std::string ElementOf(const LoginRecord& login);
  void Remove(const std::string& key);  // mutex_ held exclusively
  static std::string EndedKey(std::string_view key, std::string_view guid);

  const int64_t lifetimeMs_;
  const int64_t persistEveryMs_;
  // Guards the maps and every Slot's login; lastSeen and persistedSeen are
  // atomics so that a keep-alive needs only the shared lock. Shared by
  // getuserlist, iamup and the pages; exclusive for logins, logoffs, changed
  // keep-alives and the sweeper.
  mutable std::shared_mutex mutex_;
  std::unordered_map<std::string, std::unique_ptr<Slot>> slots_;  // by lower-case name
  std::unordered_map<std::string, std::string> byInstance_;       // instance GUID -> key
  std::unordered_map<std::string, Ended> ended_;                  // EndedKey -> note
  std::atomic<uint64_t> epoch_{0};                                // raised under the exclusive lock
};

}  // namespace dialvo::server
