#include "cli/Presence.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "service/LocalAddress.h"
#include "service/Text.h"
#include "settings/Settings.h"

namespace dialvo::cli {

namespace {

PresenceConfig ConfigFor(const PresenceOptions& options) {
  PresenceConfig config;
  config.client.directoryHost = options.server;
  // Clients with settings of their own keep the directory's answer apart too.
  if (!options.configDir.empty()) config.client.cacheDirectory = options.configDir;
  config.keepAliveIntervalMs = options.keepAliveSec * 1000;
  return config;
}

// The text after "LOGIN": "ok", "refused <description>" or "failed <reason>".
Fields DescribeLogin(const LoginOutcome& outcome) {
  if (outcome.result == LoginOutcome::Result::kBusy) return {{"", "failed"}, {"", "in-progress"}};
  switch (outcome.state) {
    case kLoginAccepted:
      return {{"", "ok"}};
    case kLoginRefused: {
      const std::string& why = outcome.answer.errDescription;
      return {{"", "refused"}, {"", why.empty() ? "-" : why}};
    }
    case kLoginNoLocalAddress:
      return {{"", "failed"}, {"", "unreachable"}};
    case kLoginUnreadable:
      return {{"", "failed"}, {"", "busy"}};
    default:
      return {{"", "failed"}, {"", "request-failed"}};
  }
}

}  // namespace

BuddyCall CallFor(const OnlineBuddy& buddy) {
  BuddyCall call;
  call.callee = buddy.userId;
  if (buddy.address == kLanAddress) {
    call.refusal = "behind-firewall";
  } else if (buddy.address.empty()) {
    call.refusal = "no-address";
  } else if (buddy.listeningPort < 1 || buddy.listeningPort > 65535) {
    call.refusal = "no-port";
  } else {
    call.host = buddy.address;
    call.port = static_cast<uint16_t>(buddy.listeningPort);
    call.confirmUser = buddy.connectionType != 0 ? 1 : 0;
  }
  return call;
}

CliPresence::CliPresence(const PresenceOptions& options, IWindowTarget& window, PrintFn print,
                         UserFn user)
    : options_(options),
      window_(window),
      print_(std::move(print)),
      user_(std::move(user)),
      settings_(options.configDir),
      client_(std::make_unique<PresenceClient>(settings_, *this, ConfigFor(options))),
      callPending_(!options.callBuddy.empty()) {}

// The presence's threads report to this object to the last: they end first.
CliPresence::~CliPresence() { client_.reset(); }

bool CliPresence::Start(uint16_t port, const Pump& pump) {
  client_->SetListeningPort(port);
  if (!client_->Start()) {
    std::fputs("dialvo-cli: cannot start the keep-alive thread\n", stderr);
    return false;
  }
  Exclusive([&] { client_->Login(options_.login, options_.password, true, pump); }, pump);
  return client_->IsLoggedIn();
}

void CliPresence::Stop(const Pump& pump) {
  client_->Stop();
  stopped_ = true;  // what the rounds asked for is moot now
  logoffReason_ = "exit";
  if (client_->IsLoggedIn()) Exclusive([&] { client_->Logoff(true, pump); }, pump);
  PrintNotices();
}

void CliPresence::Exclusive(const std::function<void()>& work, const Pump& pump) {
  busy_ = true;
  work();
  busy_ = false;
  if (stopped_) deferred_.clear();
  while (!deferred_.empty()) {
    const AppRequest next = deferred_.front();
    deferred_.erase(deferred_.begin());
    Handle(next, pump);
  }
}

void CliPresence::OnMessage(const ThreadMessage& message, const Pump& pump) {
  if (message.message == WM_APP_REQUEST) {
    Handle(static_cast<AppRequest>(message.wParam), pump);
  } else if (message.message == WM_PRESENCE_NOTICE) {
    PrintNotices();
  }
}

void CliPresence::Handle(AppRequest request, const Pump& pump) {
  if (stopped_) return;
  if (busy_) {
    deferred_.push_back(request);
    return;
  }
  if (request == AppRequest::kLogoff) logoffReason_ = "ended";
  if (request == AppRequest::kLocalLogoff) logoffReason_ = "unreachable";
  Exclusive([&] { client_->HandleAppRequest(request, pump); }, pump);
}

CliPresence::CallStep CliPresence::NextCall(BuddyCall& call) {
  if (!callPending_ || !recheck_ || !client_->IsLoggedIn()) return CallStep::kNone;
  recheck_ = false;
  const std::vector<OnlineBuddy> records = client_->Online().Records();
  // Names are typed by hand: the service's spelling may differ in case.
  const auto found = std::find_if(records.begin(), records.end(), [&](const OnlineBuddy& r) {
    return EqualsNoCase(r.userId, options_.callBuddy);
  });
  if (found == records.end()) return CallStep::kNone;
  BuddyCall candidate = CallFor(*found);
  if (!candidate.refusal.empty()) {
    if (refused_ == *found) return CallStep::kNone;
    refused_ = *found;
    print_("CANNOT_CALL", {{"name", found->userId}, {"reason", candidate.refusal}});
    return CallStep::kCannot;
  }
  callPending_ = false;
  call = std::move(candidate);
  return CallStep::kCall;
}

void CliPresence::AddBuddies() {
  std::vector<std::string> names = client_->Buddies().Names();
  const size_t before = names.size();
  const auto add = [&](const std::string& name) {
    if (!name.empty() && !client_->Buddies().IsBuddy(name)) names.push_back(name);
  };
  for (const std::string& name : options_.buddies) add(name);
  add(options_.callBuddy);
  if (names.size() == before) return;
  // As if added by hand: the local copy first, then the service's.
  const std::string user = client_->UserName();
  SaveBuddyList(settings_, user, names);
  client_->Buddies().Replace(names);
  if (!client_->SyncBuddyList())
    std::fputs("dialvo-cli: the buddy list was not uploaded\n", stderr);
  client_->PostKeepAliveTick();
}

void CliPresence::PostAppRequest(AppRequest request) {
  window_.PostMessage(WM_APP_REQUEST, static_cast<uintptr_t>(request), 0);
}

void CliPresence::ShowNotice(const Notice& notice) {
  // A refused or unreadable login is told by its LOGIN line.
  if (notice.caption == LoginRefusedNotice({}).caption ||
      notice.caption == ServerBusyAtLoginNotice().caption) {
    return;
  }
  {
    std::lock_guard lock(noticeMutex_);
    notices_.push_back(notice.text);
  }
  window_.PostMessage(WM_PRESENCE_NOTICE, 0, 0);
}

void CliPresence::PrintNotices() {
  std::deque<std::string> notices;
  {
    std::lock_guard lock(noticeMutex_);
    notices.swap(notices_);
  }
  for (const std::string& text : notices) print_("NOTICE", {{"", text}});
}

void CliPresence::LoginFinished(const LoginOutcome& outcome) {
  print_("LOGIN", DescribeLogin(outcome));
  if (!client_->IsLoggedIn()) return;
  if (outcome.interactive && !outcome.answer.showUserMessage.empty()) {
    print_("NOTICE", {{"", outcome.answer.showUserMessage}});
  }
  user_(client_->UserName());
  AddBuddies();
}

void CliPresence::LoggedOut() {
  print_("LOGOFF", {{"", logoffReason_}});
  user_({});
}

void CliPresence::OnlineChanged(const OnlineRefresh& refresh) {
  for (const std::string& name : refresh.gone) print_("OFFLINE", {{"", name}});
  for (const auto* list : {&refresh.newcomers, &refresh.changed}) {
    for (const OnlineBuddy& b : *list) {
      print_("ONLINE", {{"", b.userId},
                        {"", b.address},
                        {"", std::to_string(b.listeningPort)},
                        {"", std::to_string(b.connectionType)}});
    }
  }
  recheck_ = true;
}

}  // namespace dialvo::cli
