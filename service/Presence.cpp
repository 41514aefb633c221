#include "service/Presence.h"

#include <utility>

#include "base/NamedThread.h"
#include "base/Tick.h"
#include "base/Trace.h"
#include "base/Uuid.h"
#include "settings/Settings.h"

namespace dialvo {

Notice ServerBusyAtLoginNotice() {
  return {"Server is busy.     [Auto close in %d secs]",
          "The server is too busy now. Please try again after some time", 10, Notice::Icon::kNone};
}

Notice LoginRefusedNotice(const std::string& description) {
  return {"Login Failed.     [Auto close in %d secs]", description, 25, Notice::Icon::kError};
}

Notice LoggedOffBusyNotice(const std::string& supportEmail) {
  return {"Sever is busy now.     [This window will auto close in %d secs]",
          "Server is too busy now.\r\nYou will be logged off. Please login after sometime. If "
          "the problem persists, please send an email to " +
              supportEmail,
          25, Notice::Icon::kInformation};
}

Notice ServiceMessageNotice(const std::string& answer) {
  return {"Orvanta", answer, 0, Notice::Icon::kExclamation};
}

// One login or logoff: its inputs and what the thread found.
struct PresenceClient::Job {
  std::string user;
  std::string password;
  LoginAnswer answer;
};

PresenceClient::PresenceClient(SettingsStore& settings, PresenceObserver& observer,
                               PresenceConfig config)
    : settings_(settings),
      observer_(observer),
      config_(std::move(config)),
      instanceGuid_(config_.instanceGuid.empty() ? NewGuidText() : config_.instanceGuid),
      timerClient_(settings, config_.client),
      timer_([this](const ThreadMessage& message, bool mergedAway) {
        if (message.message == WM_TIMER_TICK) {
          if (!mergedAway) KeepAliveTick();
        } else if (config_.otherTimerMessage) {
          config_.otherTimerMessage(message, mergedAway);
        }
      }) {
  const StoredLogin stored = LoadStoredLogin(settings_);
  if (stored.autoLogin != 0) SetLoginFields(stored.user, stored.password);
}

PresenceClient::~PresenceClient() { Stop(); }

bool PresenceClient::Start() {
  if (!timer_.Start()) return false;
  PostKeepAliveTick();
  return ticker_.Start(config_.keepAliveIntervalMs, [this] { PostKeepAliveTick(); });
}

void PresenceClient::Stop() {
  ticker_.Stop();
  timer_.Stop();
}

void PresenceClient::PostKeepAliveTick() { timer_.Post(WM_TIMER_TICK); }

void PresenceClient::PostTimerMessage(uint32_t message, uintptr_t wParam, uintptr_t lParam) {
  timer_.Post(message, wParam, lParam);
}

void PresenceClient::SetLoginFields(const std::string& user, const std::string& password) {
  std::lock_guard lock(mutex_);
  fieldUser_ = user;
  fieldPassword_ = password;
}

std::string PresenceClient::UserName() const {
  std::lock_guard lock(mutex_);
  return user_;
}

std::string PresenceClient::LocalAddress() const {
  std::lock_guard lock(mutex_);
  return localAddress_;
}

ServerLocation PresenceClient::Location() const {
  std::lock_guard lock(mutex_);
  return location_;
}

PresenceClient::Session PresenceClient::CurrentSession() const {
  std::lock_guard lock(mutex_);
  return {user_, password_, location_};
}

void PresenceClient::SetState(uint32_t state) {
  state_.store(state);
  observer_.LoginProgress(state);
}

PresenceParams PresenceClient::ParamsFor(const std::string& user, const std::string& password,
                                         const NetworkSettings& net,
                                         const std::string& local) const {
  PresenceParams params = MakePresenceParams(user, password, net, instanceGuid_, local);
  if (const uint32_t port = listeningPort_.load(); port != 0) params.listeningPort = port;
  return params;
}

std::string PresenceClient::DetectLocalAddress(const NetworkSettings& net) const {
  LocalAddressProbe probe;
  probe.directoryHost = timerClient_.DirectoryHostInUse();
  probe.hostAddresses = config_.hostAddresses;
  probe.connectTimeoutMs = config_.connectTimeoutMs;
  return GetLocalAddress(net, probe);
}

void PresenceClient::RunOnThread(const char* name, Job& job, void (PresenceClient::*body)(Job&),
                                 const std::function<void()>& pump) {
  NamedThread thread(
      [this, &job, body](void*) {
        (this->*body)(job);
        return 0u;
      },
      nullptr, name, false);
  if (!thread.Start(false)) {
    (this->*body)(job);  // no thread to be had: do the work here
    return;
  }
  if (pump) {
    while (thread.Wait(config_.pumpStepMs) == static_cast<int32_t>(kWaitTimeout)) pump();
  } else {
    thread.Wait(kInfinite);
  }
}

LoginOutcome PresenceClient::Login(const std::string& user, const std::string& password,
                                   bool interactive, const std::function<void()>& pump) {
  LoginOutcome outcome;
  outcome.interactive = firstRun_.exchange(false) || interactive;
  if (interactive) reLoginAllowed_.store(true);
  SetLoginFields(user, password);
  const std::string name = TrimBlanks(user);
  if (name.empty()) {
    outcome.result = LoginOutcome::Result::kEmptyUser;
    observer_.LoginFinished(outcome);
    return outcome;
  }
  if (busyLock_.WaitOnSemaphore(config_.busyLockWaitMs) == 0) {
    outcome.result = LoginOutcome::Result::kBusy;
    observer_.LoginFinished(outcome);
    return outcome;
  }
  loggedIn_.store(false);
  SetState(kLoginStarted);
  Job job{name, password, {}};
  RunOnThread("Login Thread", job, &PresenceClient::RunLogin, pump);

  outcome.state = state_.load();
  outcome.answer = job.answer;
  if (outcome.state == kLoginRefused || outcome.state == kLoginUnreadable) {
    reLoginAllowed_.store(false);
  } else if (outcome.state == kLoginAccepted) {
    {
      std::lock_guard lock(mutex_);
      user_ = name;
      password_ = password;
    }
    buddies_.Replace(job.answer.userIds);
    loggedIn_.store(true);
    firstListAfterLogin_.store(true);
  }
  // The first keep-alive and online list follow the login at once.
  PostKeepAliveTick();
  if (loggedIn_.load()) StoreLoginCredentials(settings_, name, password);
  busyLock_.SignalSemaphore();
  observer_.LoginFinished(outcome);
  return outcome;
}

// The steps login and logoff share; each failure sets its own state.
struct PresenceClient::Steps {
  uint32_t noAddress;
  uint32_t unreachable;
  uint32_t underWay;
  std::string ServerLocation::*script;
  std::string (*build)(const PresenceParams&);
};

bool PresenceClient::LocateAndPost(const Job& job, const Steps& steps, std::string& answer) {
  CServiceClient client(settings_, config_.client);
  const std::string local = DetectLocalAddress(LoadNetworkSettings(settings_));
  if (local.empty()) {
    SetState(steps.noAddress);
    return false;
  }
  ServerLocation location = Location();
  const bool located = client.FetchServerLocation(location);
  {
    std::lock_guard lock(mutex_);
    location_ = location;
  }
  if (!located) {
    SetState(steps.unreachable);
    return false;
  }
  SetState(steps.underWay);
  const PresenceParams params =
      ParamsFor(job.user, job.password, LoadNetworkSettings(settings_), local);
  if (!client.Post(location.currentIp, location.ObjectPath(location.*steps.script),
                   steps.build(params), answer)) {
    SetState(steps.unreachable);
    return false;
  }
  return true;
}

void PresenceClient::RunLogin(Job& job) {
  SleepMs(config_.loginThreadDelayMs);
  static constexpr Steps kLogin{kLoginNoLocalAddress, kLoginUnreachable, kLoginVerifying,
                                &ServerLocation::logmeinFile, &BuildLogmeinBody};
  std::string answer;
  if (!LocateAndPost(job, kLogin, answer)) return;
  job.answer = ParseLoginAnswer(answer);
  if (!job.answer.readable) {
    observer_.ShowNotice(ServerBusyAtLoginNotice());
    SetState(kLoginUnreadable);
  } else if (job.answer.Accepted()) {
    SetState(kLoginAccepted);
  } else {
    observer_.ShowNotice(LoginRefusedNotice(job.answer.errDescription));
    SetState(kLoginRefused);
  }
}

bool PresenceClient::Logoff(bool sendRequest, const std::function<void()>& pump) {
  if (busyLock_.WaitOnSemaphore(config_.busyLockWaitMs) == 0) return false;
  if (sendRequest) {
    const Session session = CurrentSession();
    Job job{session.user, session.password, {}};
    RunOnThread("Logoff thread", job, &PresenceClient::RunLogoff, pump);
  }
  loggedIn_.store(false);
  busyLock_.SignalSemaphore();
  observer_.LoggedOut();
  return true;
}

void PresenceClient::RunLogoff(Job& job) {
  static constexpr Steps kLogoff{kLogoffNoLocalAddress, kLogoffUnreachable, kLoggingOff,
                                 &ServerLocation::logmeoffFile, &BuildLogmeoffBody};
  std::string answer;
  if (!LocateAndPost(job, kLogoff, answer)) return;
  SetState(!answer.empty() && answer[0] == '+' ? kLogoffAccepted : kLogoffNotAccepted);
}

bool PresenceClient::SyncBuddyList() {
  if (!loggedIn_.load()) return false;
  const Session s = CurrentSession();
  const std::vector<std::string> names = LoadBuddyList(settings_, s.user);
  CServiceClient client(settings_, config_.client);
  std::string answer;  // not examined
  return client.Post(s.location.currentIp, s.location.ObjectPath(s.location.syncblistFile),
                     BuildSyncBuddyListBody(s.user, s.password, names), answer);
}

void PresenceClient::HandleAppRequest(AppRequest request, const std::function<void()>& pump) {
  switch (request) {
    case AppRequest::kAutoLogin:
      if (!loggedIn_.load()) {
        std::string user, password;
        {
          std::lock_guard lock(mutex_);
          user = fieldUser_;
          password = fieldPassword_;
        }
        Login(user, password, false, pump);
      }
      break;
    case AppRequest::kLogoff:
      if (loggedIn_.load()) Logoff(true, pump);
      break;
    case AppRequest::kRefreshOnline:
      if (loggedIn_.load()) RefreshOnlineUsers();
      break;
    case AppRequest::kLog:
      break;
    case AppRequest::kLocalLogoff:
      if (loggedIn_.load()) Logoff(false, pump);
      break;
  }
}

OnlineRefresh PresenceClient::RefreshOnlineUsers() {
  if (!loggedIn_.load()) return {};
  const bool first = firstListAfterLogin_.load();
  OnlineRefresh refresh = online_.Refresh(UserName(), first);
  if (refresh.firstAfterLogin) firstListAfterLogin_.store(false);
  observer_.OnlineChanged(refresh);
  return refresh;
}

bool PresenceClient::FindOnlineBuddy(std::string_view name, OnlineBuddy& record) const {
  return online_.FindOnlineBuddy(name, record);
}

void PresenceClient::Ask(AppRequest request, bool pause) {
  observer_.PostAppRequest(request);
  if (pause) SleepMs(config_.requestPauseMs);
}

void PresenceClient::KeepAliveTick() {
  const NetworkSettings net = LoadNetworkSettings(settings_);
  bool first = false;
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    first = std::exchange(firstTick_, false);
    changed = previousNet_ && !(*previousNet_ == net);
    previousNet_ = net;
  }
  if (first) {
    observer_.AddressStatusChanged({kCheckingServerText, AddressStatus::Firewall::kUnchanged});
  }
  if (changed) observer_.NetworkSettingsChanged();

  const std::string local = DetectLocalAddress(net);
  {
    std::lock_guard lock(mutex_);
    localAddress_ = local;
  }
  if (auto status = AddressStatusFor(net, local)) observer_.AddressStatusChanged(*status);
  if (local.empty()) {
    reachableAtLastTick_.store(false);
    if (loggedIn_.load()) Ask(AppRequest::kLocalLogoff, true);
    return;
  }
  if (!reachableAtLastTick_.load() && reLoginAllowed_.load() &&
      ReadDword(settings_, keys::kAutoLogin) != 0) {
    Ask(AppRequest::kAutoLogin, false);
  }
  reachableAtLastTick_.store(true);
  if (!loggedIn_.load()) return;

  const Session s = CurrentSession();
  const PresenceParams params = ParamsFor(s.user, s.password, net, local);
  std::string answer;
  if (!timerClient_.Post(s.location.currentIp, s.location.ObjectPath(s.location.iamupFile),
                         BuildIamupBody(params), answer)) {
    Ask(AppRequest::kLocalLogoff, true);
    return;
  }
  if (!answer.empty() && answer[0] == '#') {
    Ask(AppRequest::kLogoff, true);
    PostKeepAliveTick();
    observer_.ShowNotice(ServiceMessageNotice(answer));
    return;
  }
  if (!answer.empty() && answer[0] == '-') {
    Ask(AppRequest::kLogoff, false);
    return;
  }
  FetchOnlineList();
}

void PresenceClient::FetchOnlineList() {
  const Session s = CurrentSession();
  std::string answer;
  if (!timerClient_.Post(s.location.currentIp, s.location.ObjectPath(s.location.getuserlistFile),
                         BuildGetUserListBody(s.user, s.password, buddies_.Names()), answer)) {
    return;
  }
  const std::string_view trimmed = TrimAnswer(answer);
  if (trimmed.empty()) return;
  if (!LooksLikeXml(trimmed)) {
    SleepMs(config_.requestPauseMs);
    if (busyCount_.fetch_add(1) + 1 == kBusyLimit) {
      reLoginAllowed_.store(false);
      Ask(AppRequest::kLogoff, false);
      const std::string email = TrimBlanks(settings_.ReadString(keys::kSupportEmail));
      observer_.ShowNotice(LoggedOffBusyNotice(email.empty() ? kDefaultSupportEmail : email));
    }
    return;
  }
  busyCount_.store(0);
  if (online_.ShowOnlineUsers(trimmed)) observer_.PostAppRequest(AppRequest::kRefreshOnline);
}

}  // namespace dialvo
