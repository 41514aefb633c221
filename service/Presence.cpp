#include "service/Presence.h"

#include <utility>

#include "base/NamedThread.h"
#include "base/Tick.h"
#include "base/Trace.h"
#include "base/Uuid.h"
#include "service/Text.h"
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
  return {"Server is busy now.     [This window will auto close in %d secs]",
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
  uint64_t stops = 0;  // Stops() when the work began
  LoginAnswer answer;
};

// The client of one request made off the timer thread, known to Stop while
// it lives.
class PresenceClient::RequestClient {
 public:
  RequestClient(PresenceClient& owner, uint64_t stopsAtStart)
      : owner_(owner), client_(owner.settings_, owner.config_.client) {
    std::lock_guard lock(owner_.requestsMutex_);
    owner_.requests_.push_back(&client_);
    if (owner_.stops_ != stopsAtStart) client_.Abort();  // a Stop came since the work began
  }
  ~RequestClient() {
    std::lock_guard lock(owner_.requestsMutex_);
    std::erase(owner_.requests_, &client_);
  }
  RequestClient(const RequestClient&) = delete;
  RequestClient& operator=(const RequestClient&) = delete;
  CServiceClient& Client() { return client_; }

 private:
  PresenceClient& owner_;
  CServiceClient client_;
};

PresenceClient::PresenceClient(SettingsStore& settings, PresenceObserver& observer,
                               PresenceConfig config)
    : settings_(settings),
      observer_(observer),
      config_(std::move(config)),
      instanceGuid_(config_.instanceGuid.empty() ? NewGuidText() : config_.instanceGuid),
      timerClient_(settings, config_.client),
      timer_([this](const ThreadMessage& message, bool mergedAway) {
        OnTimerMessage(message, mergedAway);
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
  // Abort first: the timer thread may be inside a request that would hold
  // the join below for its whole time limit.
  timerClient_.Abort();
  {
    std::lock_guard lock(requestsMutex_);
    ++stops_;
    for (CServiceClient* client : requests_) client->Abort();
  }
  timer_.Stop();
}

uint64_t PresenceClient::Stops() const {
  std::lock_guard lock(requestsMutex_);
  return stops_;
}

void PresenceClient::PostKeepAliveTick() { timer_.Post(WM_TIMER_TICK); }

void PresenceClient::PostTimerMessage(uint32_t message, uintptr_t wParam, uintptr_t lParam) {
  if (message == WM_CALL_REPORT) return;  // its parameter would be taken for a report
  timer_.Post(message, wParam, lParam);
}

void PresenceClient::PostCallReport(std::unique_ptr<CallReportSnapshot> report) {
  if (!report) return;
  // Noted at once, so that an answer still on its way for an older call is
  // not taken for this one.
  uint64_t newest = newestGeneration_.load();
  while (report->callGeneration > newest &&
         !newestGeneration_.compare_exchange_weak(newest, report->callGeneration)) {
  }
  timer_.Post(WM_CALL_REPORT, reinterpret_cast<uintptr_t>(report.release()));
}

void PresenceClient::OnTimerMessage(const ThreadMessage& message, bool mergedAway) {
  // Once stopping, what is still queued is dropped rather than tried on the
  // aborted client.
  const bool act = !mergedAway && !timerClient_.Aborted();
  if (message.message == WM_TIMER_TICK) {
    if (act) KeepAliveTick();
  } else if (message.message == WM_CALL_REPORT) {
    const std::unique_ptr<CallReportSnapshot> report(
        reinterpret_cast<CallReportSnapshot*>(message.wParam));
    if (act && report) SendCallReport(*report);
  } else if (config_.otherTimerMessage) {
    config_.otherTimerMessage(message, mergedAway);
  }
}

void PresenceClient::SendCallReport(const CallReportSnapshot& report) {
  const Session s = CurrentSession();
  if (!LoggedInAs(s, report.user)) return;
  const uint64_t generation = report.callGeneration;
  const uint32_t kept = sessionGeneration_ == generation ? sessionNumber_ : 0;
  Clock& clock = config_.clock ? *config_.clock : SystemClock();
  const std::string body = BuildIamTalkingBody(s.user, ReportRowsAt(report, clock.TickMs()), kept,
                                               report.recorded, report.conferenceGuid, s.reportKey);
  std::string answer;
  const bool posted = timerClient_.Post(
      s.location.currentIp, s.location.ObjectPath(s.location.iamtalkingFile), body, answer);
  // A number answered for a call that a newer one has replaced since the
  // report was made belongs to no running call.
  if (posted && generation == newestGeneration_.load()) {
    const uint32_t number = SessionIdAfterAnswer(kept, answer);
    if (number != kept) {
      sessionGeneration_ = generation;
      sessionNumber_ = number;
    }
  }
  observer_.CallReportSent(generation, sessionGeneration_ == generation ? sessionNumber_ : 0);
}

bool PresenceClient::LoggedInAs(const Session& session, std::string_view user) const {
  return session.loggedIn && EqualsNoCase(session.user, user);
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
  return {loggedIn_.load(), user_, password_, location_, reportKey_};
}

void PresenceClient::SetLoggedIn(bool on) {
  std::lock_guard lock(mutex_);
  loggedIn_.store(on);
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

std::string PresenceClient::DetectLocalAddress(const NetworkSettings& net,
                                               const CServiceClient& client) const {
  LocalAddressProbe probe;
  probe.directoryHost = client.DirectoryHostInUse();
  probe.hostAddresses = config_.hostAddresses;
  probe.connectTimeoutMs = config_.connectTimeoutMs;
  probe.cancelled = [&client] { return client.Aborted(); };
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
  const uint64_t stops = Stops();
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
  SetLoggedIn(false);
  SetState(kLoginStarted);
  Job job{name, password, stops, {}};
  RunOnThread("Login Thread", job, &PresenceClient::RunLogin, pump);

  outcome.state = state_.load();
  outcome.answer = job.answer;
  if (outcome.state == kLoginRefused || outcome.state == kLoginUnreadable) {
    reLoginAllowed_.store(false);
  } else if (outcome.state == kLoginAccepted) {
    buddies_.Replace(job.answer.userIds);
    {
      std::lock_guard lock(mutex_);
      user_ = name;
      password_ = password;
      reportKey_ = job.answer.reportKey;
      loggedIn_.store(true);
    }
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
  RequestClient request(*this, job.stops);
  CServiceClient& client = request.Client();
  const std::string local = DetectLocalAddress(LoadNetworkSettings(settings_), client);
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
  const uint64_t stops = Stops();
  if (busyLock_.WaitOnSemaphore(config_.busyLockWaitMs) == 0) return false;
  if (sendRequest) {
    const Session session = CurrentSession();
    Job job{session.user, session.password, stops, {}};
    RunOnThread("Logoff thread", job, &PresenceClient::RunLogoff, pump);
  }
  SetLoggedIn(false);
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

bool PresenceClient::SyncBuddyList(const std::string& user, const std::vector<std::string>& names) {
  RequestClient request(*this, Stops());
  const Session s = CurrentSession();
  if (!LoggedInAs(s, user)) return false;
  std::string answer;  // not examined
  return request.Client().Post(s.location.currentIp,
                               s.location.ObjectPath(s.location.syncblistFile),
                               BuildSyncBuddyListBody(s.user, s.password, names), answer);
}

bool PresenceClient::SyncBuddyList() {
  const Session s = CurrentSession();
  if (!s.loggedIn) return false;
  return SyncBuddyList(s.user, LoadBuddyList(settings_, s.user));
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

  const std::string local = DetectLocalAddress(net, timerClient_);
  if (timerClient_.Aborted()) return;  // stopping: the detection was cut short
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
    if (!timerClient_.Aborted()) Ask(AppRequest::kLocalLogoff, true);
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
