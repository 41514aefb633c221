#pragma once
// Being online with the service: login and logoff on threads of their own,
// the keep-alive round on the timer thread with the online list that
// follows it, and the state they share. Nothing here shows a window: the
// owner (the desktop's main window, or the command-line client's loop) is
// told through PresenceObserver and acts on its own thread.
//
// Threads: the owner's thread calls Login, Logoff, HandleAppRequest,
// RefreshOnlineUsers and FindOnlineBuddy. The timer thread runs
// KeepAliveTick and sends the call reports. Login and logoff requests run on
// the "Login Thread" and the "Logoff thread" while the owner waits (and may
// pump its events). Stop aborts every request in progress, so that a program
// can end while the service hangs.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/CSem.h"
#include "base/PeriodicTimer.h"
#include "base/Tick.h"
#include "service/BuddyList.h"
#include "service/CallReport.h"
#include "service/LocalAddress.h"
#include "service/OnlineList.h"
#include "service/ServiceAnswers.h"
#include "service/ServiceClient.h"
#include "service/ServiceRequests.h"
#include "service/TimerThread.h"
#include "settings/SettingsStore.h"

namespace dialvo {

// What the timer thread asks the owner to do (on the owner's thread).
enum class AppRequest : uint32_t {
  kAutoLogin = 1,      // if logged out: an automatic login
  kLogoff = 2,         // if logged in: log off with a request
  kRefreshOnline = 3,  // if logged in: refresh the online items
  kLog = 4,            // a line for the log (discarded)
  kLocalLogoff = 5,    // if logged in: log off without a request
};

// Progress and result of the last login (0 to 8) or logoff (9 to 13).
enum LoginState : uint32_t {
  kLoginStarted = 0,
  kLoginUnreachable = 1,     // the directory or logmein request failed
  kLoginNoLocalAddress = 2,  // the service host cannot be reached
  kLoginVerifying = 3,
  kLoginRefused = 4,
  kLoginAccepted = 6,
  kLoginUnreadable = 8,  // the service is taken to be busy
  kLogoffNoLocalAddress = 9,
  kLogoffUnreachable = 10,
  kLoggingOff = 11,
  kLogoffNotAccepted = 12,
  kLogoffAccepted = 13,
};

// A message for the user. The caption may hold "%d" for the seconds left
// of a message that closes itself.
struct Notice {
  enum class Icon { kNone, kInformation, kExclamation, kError };
  std::string caption;
  std::string text;
  uint32_t autoCloseSeconds = 0;  // 0: stays until the user closes it
  Icon icon = Icon::kNone;
};

inline constexpr const char* kEnterUserNameText = "Enter User Name";

struct LoginOutcome {
  enum class Result {
    kDone,       // the login ran; state says how it ended
    kEmptyUser,  // nothing sent: show kEnterUserNameText
    kBusy,       // another login or logoff held the lock for too long; dropped
  };
  Result result = Result::kDone;
  uint32_t state = kLoginStarted;
  bool interactive = false;  // offer show_user_message and popup_url when set
  LoginAnswer answer;        // as the service gave it (readable when parsed)
};

// Calls made on threads other than the owner's must return promptly and
// must never wait for the owner's thread: it may itself be waiting for the
// login or logoff thread that calls.
class PresenceObserver {
 public:
  virtual ~PresenceObserver() = default;
  // Timer thread. Hand the request to the owner's thread, which calls
  // HandleAppRequest with it; must not block.
  virtual void PostAppRequest(AppRequest request) = 0;
  // Any thread. A message the user should see.
  virtual void ShowNotice(const Notice& /*notice*/) {}
  // Timer thread. The address-state text of a keep-alive round.
  virtual void AddressStatusChanged(const AddressStatus& /*status*/) {}
  // Timer thread. The network settings differ from the previous round's.
  virtual void NetworkSettingsChanged() {}
  // Login or logoff thread. LoginState changed ("Logging in.. Please wait"
  // while 0, "Verifying User" while 3, "Logging off.. Please wait" while 11).
  virtual void LoginProgress(uint32_t /*state*/) {}
  // Owner's thread, at the end of Login and Logoff.
  virtual void LoginFinished(const LoginOutcome& /*outcome*/) {}
  virtual void LoggedOut() {}
  // Owner's thread. The online items changed (RefreshOnlineUsers).
  virtual void OnlineChanged(const OnlineRefresh& /*refresh*/) {}
  // Timer thread, after each call report sent (whether or not the request
  // succeeded): the session number now kept for that call (0: none yet).
  virtual void CallReportSent(uint64_t /*callGeneration*/, uint32_t /*sessionNumber*/) {}
};

struct PresenceConfig {
  // Time limit, wait step, directory host and cache folder of every request.
  ServiceClientOptions client;
  // Where this PC's addresses come from, and each connect's limit.
  std::function<std::vector<std::string>()> hostAddresses = HostAddresses;
  uint32_t connectTimeoutMs = 20000;
  // Period of the keep-alive rounds.
  uint32_t keepAliveIntervalMs = 45000;
  // The login thread's pause before it starts.
  uint32_t loginThreadDelayMs = 100;
  // How long a login or logoff waits for one in progress before it is dropped.
  uint32_t busyLockWaitMs = 1000;
  // How often the owner's pump runs while it waits for a login or logoff.
  uint32_t pumpStepMs = 10;
  // The timer thread's pause after asking the owner to act.
  uint32_t requestPauseMs = 10;
  // This run's identity; empty: a fresh GUID.
  std::string instanceGuid;
  // Timer-thread messages other than ticks and call reports.
  TimerThread::Handler otherTimerMessage;
  // The tick count of call reports (their minutes); null: the system's.
  Clock* clock = nullptr;
};

class PresenceClient {
 public:
  // Non-XML online-list answers in a row that end a login.
  static constexpr uint32_t kBusyLimit = 3;

  PresenceClient(SettingsStore& settings, PresenceObserver& observer, PresenceConfig config = {});
  ~PresenceClient();  // Stop; sends no logoff
  PresenceClient(const PresenceClient&) = delete;
  PresenceClient& operator=(const PresenceClient&) = delete;

  // Starts the timer thread: one keep-alive round at once, then one every
  // keepAliveIntervalMs.
  bool Start();
  // Aborts the requests in progress (the timer thread's, and those of a
  // login, logoff or buddy upload running on other threads, which then end
  // with their failure states), ends the timer thread and frees the call
  // reports it did not get to. Returns promptly even while the service
  // hangs. Logins and logoffs started afterwards run as usual.
  void Stop();
  // Queues one more round (after a buddy-list change, a refresh command).
  void PostKeepAliveTick();
  // Hands a message to the owner's handler (otherTimerMessage) on the timer
  // thread; WM_CALL_REPORT goes through PostCallReport only.
  void PostTimerMessage(uint32_t message, uintptr_t wParam, uintptr_t lParam);
  // Any thread. The timer thread sends the report while logged in as its
  // user, else frees it; of reports queued back to back only the last is sent.
  void PostCallReport(std::unique_ptr<CallReportSnapshot> report);

  // Owner's thread. interactive: the user asked (also allows automatic
  // logins again). pump, when given, runs every pumpStepMs while waiting.
  LoginOutcome Login(const std::string& user, const std::string& password, bool interactive,
                     const std::function<void()>& pump = {});
  // Owner's thread. False when another login or logoff kept the lock.
  bool Logoff(bool sendRequest, const std::function<void()>& pump = {});
  // Owner's thread: does what the timer thread asked for. pump, when given,
  // runs while a login or logoff it starts waits.
  void HandleAppRequest(AppRequest request, const std::function<void()>& pump = {});
  // Owner's thread: compares the online list with the items (while logged
  // in) and tells the observer.
  OnlineRefresh RefreshOnlineUsers();
  bool FindOnlineBuddy(std::string_view name, OnlineBuddy& record) const;

  // Any thread. Uploads names as user's buddy list with a syncblist request;
  // blocks up to the request's limit. Sends nothing and returns false unless
  // logged in as user (without regard to case), so that an upload made for
  // one login never reaches another. False also when the request failed.
  bool SyncBuddyList(const std::string& user, const std::vector<std::string>& names);
  // The same with the logged-in user's stored copy of the list.
  bool SyncBuddyList();

  // The name and password that automatic logins use (the login page's
  // fields); at construction the stored ones when AutoLogin is set.
  void SetLoginFields(const std::string& user, const std::string& password);

  // The UDP port the voice engine really listens on, published by the next
  // login and keep-alive; 0 (the default) means the settings' effective port.
  // For an engine whose port does not come from the settings.
  void SetListeningPort(uint32_t port) { listeningPort_.store(port); }

  // Timer thread: one keep-alive round (public so that tests can drive it).
  void KeepAliveTick();

  bool IsLoggedIn() const { return loggedIn_.load(); }
  uint32_t State() const { return state_.load(); }
  bool ReLoginAllowed() const { return reLoginAllowed_.load(); }
  uint32_t BusyCount() const { return busyCount_.load(); }
  std::string UserName() const;
  std::string LocalAddress() const;  // the last round's detection
  ServerLocation Location() const;
  const std::string& InstanceGuid() const { return instanceGuid_; }
  BuddyList& Buddies() { return buddies_; }
  OnlineList& Online() { return online_; }

 private:
  struct Job;
  struct Steps;
  class RequestClient;
  // The logged-in user's copies and where the service is.
  struct Session {
    bool loggedIn = false;
    std::string user;
    std::string password;
    ServerLocation location;
    std::string reportKey;
  };
  Session CurrentSession() const;
  void RunLogin(Job& job);
  void RunLogoff(Job& job);
  bool LocateAndPost(const Job& job, const Steps& steps, std::string& answer);
  void RunOnThread(const char* name, Job& job, void (PresenceClient::*body)(Job&),
                   const std::function<void()>& pump);
  void SetState(uint32_t state);
  void SetLoggedIn(bool on);
  PresenceParams ParamsFor(const std::string& user, const std::string& password,
                           const NetworkSettings& net, const std::string& local) const;
  std::string DetectLocalAddress(const NetworkSettings& net, const CServiceClient& client) const;
  void Ask(AppRequest request, bool pause);
  void FetchOnlineList();
  void OnTimerMessage(const ThreadMessage& message, bool mergedAway);
  void SendCallReport(const CallReportSnapshot& report);
  bool LoggedInAs(const Session& session, std::string_view user) const;
  uint64_t Stops() const;

  SettingsStore& settings_;
  PresenceObserver& observer_;
  const PresenceConfig config_;
  const std::string instanceGuid_;

  CSem busyLock_;  // held for a whole login or logoff; taken by the owner's thread
  std::atomic<bool> loggedIn_{false};  // written under mutex_, so that a Session is consistent
  std::atomic<uint32_t> state_{kLoginStarted};
  std::atomic<bool> reLoginAllowed_{true};
  std::atomic<bool> firstRun_{true};
  std::atomic<bool> firstListAfterLogin_{false};
  std::atomic<bool> reachableAtLastTick_{false};
  std::atomic<uint32_t> busyCount_{0};
  std::atomic<uint32_t> listeningPort_{0};

  // Guards the fields below; taken briefly by the owner's, login, logoff
  // and timer threads, never while a request runs.
  mutable std::mutex mutex_;
  std::string user_;  // copies taken at a successful login
  std::string reportKey_;
  std::string password_;
  std::string fieldUser_;  // what automatic logins use
  std::string fieldPassword_;
  ServerLocation location_;
  std::string localAddress_;
  std::optional<NetworkSettings> previousNet_;
  bool firstTick_ = true;

  // Clients of the requests in progress on other threads than the timer's,
  // and how often Stop ran: work begun before a Stop has its client aborted
  // even when the client is made after it. Taken by every thread that makes
  // a request, never while one runs.
  mutable std::mutex requestsMutex_;
  std::vector<CServiceClient*> requests_;
  uint64_t stops_ = 0;

  // Call reports. The newest generation posted, and the session number the
  // service gave for one call (timer thread only).
  std::atomic<uint64_t> newestGeneration_{0};
  uint64_t sessionGeneration_ = 0;
  uint32_t sessionNumber_ = 0;

  BuddyList buddies_;
  OnlineList online_;
  CServiceClient timerClient_;  // the timer thread's client for every round and report
  TimerThread timer_;
  PeriodicTimer ticker_;
};

// The messages of the presence logic, shared by every front end.
Notice ServerBusyAtLoginNotice();
Notice LoginRefusedNotice(const std::string& description);
Notice LoggedOffBusyNotice(const std::string& supportEmail);
Notice ServiceMessageNotice(const std::string& answer);

}  // namespace dialvo
