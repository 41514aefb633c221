#include "server/Service.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <span>

#include "server/Accounts.h"
#include "server/Form.h"
#include "server/SharedPresence.h"
#include "server/Text.h"
#include "server/WebSite.h"

namespace dialvo::server {

WallClock SystemWallClock() {
  return [] {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  };
}

Clocks SystemClocks() {
  return {SystemWallClock(), [] {
            using namespace std::chrono;
            return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
          }};
}

int64_t Clocks::SteadyOf(int64_t wallMs) const {
  return steady() - std::max<int64_t>(0, wall() - wallMs);
}

namespace {

constexpr std::string_view kDirectoryScript = "dialvoserver.asp";
constexpr std::string_view kBadCredentials = "Invalid user name or password.";
constexpr std::string_view kStoreTrouble =
    "The service cannot handle this request right now. Please try again later.";
constexpr std::string_view kUnreadable = "The service could not read the request.";
constexpr std::string_view kLoggedInElsewhere =
    "You have been logged off because your user name has logged in from another computer.";
constexpr std::string_view kBusy = "The service is busy. Please try again in a minute.";
constexpr size_t kMaxCallRows = 64;
constexpr int kMaxTestDatagrams = 3;

HttpResponse Xml(std::string body, std::string note) {
  return {200, "text/xml; charset=utf-8", std::move(body), std::move(note), {}};
}

HttpResponse Text(std::string body, std::string note) {
  return {200, "text/plain; charset=utf-8", std::move(body), std::move(note), {}};
}

std::string SourceText(const HttpRequest& request) {
  return SockAddr{request.sourceIp, 0}.IpText();
}

HttpResponse Refusal(Service::AnswerKind kind, std::string_view why, const HttpRequest& request,
                     std::string note) {
  note += note.empty() ? "refused: " : " refused: ";
  note += why;
  using AnswerKind = Service::AnswerKind;
  switch (kind) {
    case AnswerKind::kLogin: {
      LoginAnswer answer;
      answer.description = why;
      return Xml(BuildLoginAnswer(answer), std::move(note));
    }
    case AnswerKind::kUserList:
      return Xml(BuildUserListRefusal(why), std::move(note));
    case AnswerKind::kFwtest:
      return Xml(BuildFwtestAnswer(SourceText(request), 0, 1, why), std::move(note));
    case AnswerKind::kKeepalive:
      // "#": the program ends the login and shows the text.
      return Text("#" + std::string(why), std::move(note));
    case AnswerKind::kStatus:
      break;
  }
  return Text("-" + std::string(why), std::move(note));
}

// Lower case, backslashes as slashes, no leading slashes: the program sends
// PATH\script as it stands, percent-encoded or with a slash.
std::string NormalizePath(std::string_view path) {
  std::string out = AsciiLower(path);
  for (char& c : out) c = (c == '\\') ? '/' : c;
  const size_t start = out.find_first_not_of('/');
  return start == std::string::npos ? std::string() : out.substr(start);
}

// An InstanceGUID or VoiceConferenceGUID: the program sends 36 characters.
bool IsValidGuid(std::string_view text) {
  if (text.empty() || text.size() > 64) return false;
  for (char c : text) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-' && c != '{' && c != '}') return false;
  }
  return true;
}

enum class Reach { kPublic, kLoopback, kPrivate, kLinkLocal, kNever };

Reach ReachOf(uint32_t ip) {
  const auto in = [ip](uint32_t net, int bits) {
    return (ip >> (32 - bits)) == (net >> (32 - bits));
  };
  if (in(0x7F000000, 8)) return Reach::kLoopback;
  if (in(0x0A000000, 8) || in(0xAC100000, 12) || in(0xC0A80000, 16) || in(0x64400000, 10)) {
    return Reach::kPrivate;
  }
  if (in(0xA9FE0000, 16)) return Reach::kLinkLocal;
  // This network, multicast, reserved and broadcast.
  if (in(0x00000000, 8) || in(0xE0000000, 4) || in(0xF0000000, 4)) return Reach::kNever;
  return Reach::kPublic;
}

int ClampToInt(int64_t value) { return value > INT_MAX ? INT_MAX : static_cast<int>(value); }

}  // namespace

Service::Service(Store& store, PasswordChecker& passwords, const WallClock& clock,
                 ServiceConfig config)
    : Service(store, passwords, Clocks{clock, clock}, std::move(config)) {}

Service::Service(Store& store, PasswordChecker& passwords, Clocks clocks, ServiceConfig config)
    : store_(store),
      passwords_(passwords),
      clocks_(std::move(clocks)),
      clock_(clocks_.steady),
      config_(std::move(config)),
      presence_(LifetimeMs(), PersistEveryMs()),
      fwtestLimiter_(config_.fwtestBurst, config_.fwtestIntervalMs),
      reportLimiter_(config_.reportBurst, config_.reportIntervalMs),
      accountThrottle_(config_.accountThrottle),
      sourceThrottle_(config_.sourceThrottle),
      hashing_(config_.hashThreads, config_.hashQueue) {
  if (SharedLogins* shared = store_.Shared()) {
    shared_ = std::make_unique<SharedPresence>(
        *shared, presence_, LifetimeMs(), config_.sharedRefreshMs, std::string(kLoggedInElsewhere));
  }
  web_ =
      std::make_unique<WebSite>(store_, passwords_, presence_, clocks_,
                                WebSite::Limits{config_.registerBurst, config_.registerIntervalMs},
                                WebSite::Throttles{accountThrottle_, sourceThrottle_});
}

Service::~Service() = default;

bool Service::Start(std::string& error) {
  if (!web_->Start(error)) return false;
  if (!fwtestSocket_.Open() || !fwtestSocket_.Bind(SockAddr::Any(0))) {
    error = std::string("cannot open the UDP socket for fwtest: ") +
            std::strerror(fwtestSocket_.LastError());
    return false;
  }
  if (shared_) {
    if (!shared_->Refresh(clock_())) {
      error = "cannot read the logins kept in the database";
      return false;
    }
    return true;
  }
  std::vector<LoginRecord> logins;
  if (store_.LoadLogins(clocks_.wall() - LifetimeMs(), logins) != StoreStatus::kOk) {
    error = "cannot read the logins kept in the database";
    return false;
  }
  for (auto& login : logins) {
    login.startedMs = clocks_.SteadyOf(login.startedMs);
    login.lastSeenMs = clocks_.SteadyOf(login.lastSeenMs);
  }
  presence_.Load(logins);
  return true;
}

void Service::Sweep() {
  const int64_t now = clock_();
  presence_.Sweep(now);
  // The store's keep-alive times may lag by one persist period.
  if (shared_) {
    shared_->Sweep(PersistEveryMs());
  } else {
    store_.DeleteLoginsSeenBefore(clocks_.wall() - LifetimeMs() - PersistEveryMs());
  }
  fwtestLimiter_.Sweep(now);
  reportLimiter_.Sweep(now);
  accountThrottle_.Sweep(now);
  sourceThrottle_.Sweep(now);
  web_->Sweep(now);
}

HttpResponse Service::Handle(const HttpRequest& request) {
  const std::string path = NormalizePath(request.path);
  const size_t lastSlash = path.rfind('/');
  const std::string_view leaf = lastSlash == std::string::npos
                                    ? std::string_view(path)
                                    : std::string_view(path).substr(lastSlash + 1);
  if (leaf == kDirectoryScript) return Directory(request);

  const std::string prefix = AsciiLower(config_.scripts.path) + "/";
  if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0) {
    auto response = Command(std::string_view(path).substr(prefix.size()), request);
    if (response) return std::move(*response);
  }
  if (request.overloaded) {
    return {503, "text/plain; charset=utf-8", std::string(kBusy) + "\n", "overloaded", {}};
  }
  return web_->Handle(path, request, CurrentIp(request));
}

void Service::HandleAsync(const HttpRequest& request, const Responder& respond) {
  std::optional<AnswerKind> kind;
  if (!NeedsHashing(request, kind)) {
    respond(Handle(request));
    return;
  }
  auto copy = std::make_shared<const HttpRequest>(request);
  if (hashing_.Submit([this, copy, respond] { respond(Handle(*copy)); })) return;
  if (kind) {
    respond(Refusal(*kind, kBusy, request, "hashing queue full"));
  } else {
    respond(
        {503, "text/plain; charset=utf-8", std::string(kBusy) + "\n", "hashing queue full", {}});
  }
}

bool Service::NeedsHashing(const HttpRequest& request, std::optional<AnswerKind>& kind) {
  const std::string path = NormalizePath(request.path);
  if (request.method == "POST" &&
      (path == "app_links/app_register.aspx" || path == "app_links/app_changepassword.aspx")) {
    return true;
  }
  const std::string prefix = AsciiLower(config_.scripts.path) + "/";
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string_view script = std::string_view(path).substr(prefix.size());
  const ScriptNames& s = config_.scripts;
  if (EqualsIgnoreCase(script, s.logmein)) {
    kind = AnswerKind::kLogin;
  } else if (EqualsIgnoreCase(script, s.iamup)) {
    kind = AnswerKind::kKeepalive;
  } else if (EqualsIgnoreCase(script, s.getuserlist)) {
    kind = AnswerKind::kUserList;
  } else if (EqualsIgnoreCase(script, s.logmeoff) || EqualsIgnoreCase(script, s.syncblist)) {
    kind = AnswerKind::kStatus;
  } else {
    return false;
  }
  if (request.bodyTooLarge) return false;
  const auto form = Form::Parse(request.body);
  if (!form) return false;
  const std::string name(Trim(form->Get("user")));
  const std::string password = form->Get("Pass");
  // Refusals that need no hash are answered here.
  const std::string source = SourceText(request);
  const std::string account = AsciiLower(name);
  const int64_t now = clock_();
  if (!IsValidUserName(name) || password.empty() || password.size() > kMaxPasswordLength ||
      sourceThrottle_.WaitMs(source, now) > 0) {
    return false;
  }
  LoginRecord live;
  if (accountThrottle_.WaitMs(account, now) > 0 &&
      !(presence_.Find(account, now, live) && live.sourceIp == source)) {
    return false;
  }
  UserRecord user;
  switch (store_.FindUser(name, user)) {
    case StoreStatus::kOk:
      return !passwords_.VerifyRemembered(password, user.passwordHash) ||
             passwords_.NeedsRehash(user.passwordHash);
    case StoreStatus::kNotFound:
      return true;
    default:
      return false;
  }
}

std::string Service::CurrentIp(const HttpRequest& request) const {
  std::string host = config_.fallbackHost;
  if (!config_.publicHost.empty()) {
    host = config_.publicHost;
  } else if (IsPlausibleHostPort(request.host)) {
    host = request.host;
  }
  // A directory asked for over TLS sends the commands, passwords and all,
  // over TLS too.
  return request.secure ? "https://" + host : host;
}

HttpResponse Service::Directory(const HttpRequest& request) {
  // The program posts "version=5"; a browser may ask with a query.
  auto form = Form::Parse(request.body);
  std::string version = form ? std::string(Trim(form->Get("version"))) : std::string();
  if (version.empty()) version = Form::FromPairs(request.query).Get("version");
  if (request.bodyTooLarge || request.overloaded || version != "5") {
    return Text(DirectoryRefusal(), "directory refused: version " + version.substr(0, 16));
  }
  return Text(DirectoryAnswer(CurrentIp(request), config_.scripts), "directory");
}

std::optional<HttpResponse> Service::Command(std::string_view script, const HttpRequest& request) {
  using Handler = HttpResponse (Service::*)(const HttpRequest&, const Form&);
  struct Entry {
    const std::string& script;
    std::string_view name;
    Handler run;
    AnswerKind kind;
  };
  const ScriptNames& s = config_.scripts;
  const Entry table[] = {
      {s.logmein, "logmein", &Service::Logmein, AnswerKind::kLogin},
      {s.logmeoff, "logmeoff", &Service::Logmeoff, AnswerKind::kStatus},
      {s.iamup, "iamup", &Service::Iamup, AnswerKind::kKeepalive},
      {s.syncblist, "syncblist", &Service::Syncblist, AnswerKind::kStatus},
      {s.getuserlist, "getuserlist", &Service::Getuserlist, AnswerKind::kUserList},
      {s.iamtalking, "iamtalking", &Service::Iamtalking, AnswerKind::kStatus},
      {s.fwtest, "fwtest", &Service::Fwtest, AnswerKind::kFwtest},
  };
  for (const Entry& entry : table) {
    if (!EqualsIgnoreCase(script, entry.script)) continue;
    std::string note(entry.name);
    if (request.overloaded) return Refusal(entry.kind, kBusy, request, std::move(note));
    if (request.bodyTooLarge) {
      return Refusal(entry.kind, "The request is too large.", request, std::move(note));
    }
    auto form = Form::Parse(request.body);
    if (!form) return Refusal(entry.kind, kUnreadable, request, std::move(note));
    HttpResponse response = (this->*entry.run)(request, *form);
    response.logNote = note + " " + response.logNote;
    return response;
  }
  return std::nullopt;
}

std::optional<HttpResponse> Service::Authenticate(const Form& form, const HttpRequest& request,
                                                  AnswerKind kind, UserRecord& user) {
  const std::string name(Trim(form.Get("user")));
  const std::string password = form.Get("Pass");
  std::string note = "user=" + name.substr(0, 64);
  const bool plausible =
      IsValidUserName(name) && !password.empty() && password.size() <= kMaxPasswordLength;
  // Checked before any hashing. The program of a user who is logged in, from
  // the address of that login, is not held back by guesses at its account
  // from elsewhere.
  const std::string source = SourceText(request);
  const std::string account = AsciiLower(name);
  const int64_t now = clock_();
  int64_t waitMs = sourceThrottle_.WaitMs(source, now);
  LoginRecord live;
  const bool ownProgram =
      plausible && presence_.Find(account, now, live) && live.sourceIp == source;
  if (plausible && !ownProgram) waitMs = std::max(waitMs, accountThrottle_.WaitMs(account, now));
  if (waitMs > 0) {
    const std::string seconds = std::to_string((waitMs + 999) / 1000);
    return Refusal(kind, "Too many failed logins. Please try again in " + seconds + " seconds.",
                   request, note + " throttled");
  }
  StoreStatus found = StoreStatus::kNotFound;
  if (plausible) found = store_.FindUser(name, user);
  if (found == StoreStatus::kFailed) {
    // Not the program's fault: a keep-alive keeps its login until the store
    // is back; other commands are refused for now.
    if (kind == AnswerKind::kKeepalive) {
      // Only a live login of this instance is kept; "+" for anything else
      // would not keep it anyway.
      const auto kept =
          presence_.Touch(account, form.Get("InstanceGUID"), ReadPublished(form, request), now);
      if (kept.state == Presence::Keepalive::kAlive) {
        // The store missed this keep-alive: the next one writes the login.
        presence_.Unsaved(account, form.Get("InstanceGUID"));
        return Text("+", note + " store unavailable, login kept");
      }
      return Text("-", note + " store unavailable, not logged in");
    }
    return Refusal(kind, kStoreTrouble, request, std::move(note));
  }
  if (found == StoreStatus::kOk && passwords_.Verify(password, user.passwordHash)) {
    // The program's own keep-alives do not wipe out the count of guesses
    // made from elsewhere meanwhile.
    if (!ownProgram) accountThrottle_.Succeeded(account);
    // Hashes made with older parameters are replaced while the password is
    // at hand; a failure leaves the old one, which still verifies.
    std::string fresh;
    if (passwords_.NeedsRehash(user.passwordHash) && passwords_.Hash(password, fresh) &&
        store_.SetPasswordHash(user.id, fresh) == StoreStatus::kOk) {
      user.passwordHash = fresh;
    }
    return std::nullopt;
  }
  // An unknown name costs what a wrong password costs.
  if (found == StoreStatus::kNotFound && plausible) passwords_.VerifyNobody(password);
  if (plausible) {
    accountThrottle_.Failed(account, now);
    sourceThrottle_.Failed(source, now);
  }
  return Refusal(kind,
                 kind == AnswerKind::kKeepalive
                     ? "Your user name or password is no longer valid. Please log in again."
                     : kBadCredentials,
                 request, std::move(note));
}

Published Service::ReadPublished(const Form& form, const HttpRequest& request) const {
  Published published;
  published.sourceIp = SourceText(request);
  const int64_t ipType = LeadingNumber(form.Get("IPType"));
  published.ipType = ipType <= 3 ? static_cast<int>(ipType) : 0;
  const std::string address(Trim(form.Get("IPAddr")));
  // Behind a firewall (type 1), or with no usable address: where it came from.
  published.address = published.sourceIp;
  if (published.ipType != 1 && EqualsIgnoreCase(address, "LAN")) {
    published.address = "LAN";
  } else if (published.ipType != 1 && IsPlausibleHost(address)) {
    published.address = address;
  }
  const int64_t port = LeadingNumber(form.Get("ListeningPort"));
  published.listeningPort = (port >= 1 && port <= 65535) ? static_cast<int>(port) : 1720;
  published.version = ClampToInt(LeadingNumber(form.Get("Version")));
  return published;
}

HttpResponse Service::Logmein(const HttpRequest& request, const Form& form) {
  UserRecord user;
  if (auto refused = Authenticate(form, request, AnswerKind::kLogin, user))
    return std::move(*refused);
  const std::string note = "user=" + user.name;
  const std::string guid = form.Get("InstanceGUID");
  if (!IsValidGuid(guid)) {
    return Refusal(AnswerKind::kLogin, "The login request has no valid InstanceGUID.", request,
                   note);
  }
  LoginAnswer answer;
  if (store_.GetBuddyList(user.id, answer.buddies) != StoreStatus::kOk) {
    // Answering an empty list would wipe the program's buddy list.
    return Refusal(AnswerKind::kLogin, kStoreTrouble, request, note);
  }
  const Published published = ReadPublished(form, request);
  const int64_t now = clock_();
  LoginRecord login;
  login.userId = user.id;
  login.userName = user.name;
  login.instanceGuid = guid;
  login.address = published.address;
  login.ipType = published.ipType;
  login.listeningPort = published.listeningPort;
  login.version = published.version;
  login.sourceIp = published.sourceIp;
  login.reportKey = RandomToken(16);
  answer.reportKey = login.reportKey;
  // The store keeps wall times, presence steady ones. Saved first: a
  // refresh from a shared database that misses the login is then older than
  // its start here, and leaves it alone.
  login.startedMs = clocks_.WallOf(now);
  login.lastSeenMs = login.startedMs;
  const bool saved = store_.SaveLogin(login) == StoreStatus::kOk;
  login.startedMs = now;
  login.lastSeenMs = now;
  const auto started = presence_.Start(AsciiLower(user.name), login, kLoggedInElsewhere);
  answer.accepted = true;
  std::string outcome = note + " accepted";
  if (started.endedOtherInstance) outcome += ", ended the login of another instance";
  if (!saved) outcome += ", not saved to the store";
  return Xml(BuildLoginAnswer(answer), std::move(outcome));
}

HttpResponse Service::Logmeoff(const HttpRequest& request, const Form& form) {
  UserRecord user;
  if (auto refused = Authenticate(form, request, AnswerKind::kStatus, user))
    return std::move(*refused);
  const std::string guid = form.Get("InstanceGUID");
  bool ended = presence_.End(AsciiLower(user.name), guid);
  // Another process may hold the login.
  if (ended || shared_) ended = store_.DeleteLogin(user.id, guid) == StoreStatus::kOk || ended;
  // Logging off an instance that is not logged in leaves it logged off.
  return Text("+", "user=" + user.name + (ended ? " logged off" : " was not logged in"));
}

HttpResponse Service::Iamup(const HttpRequest& request, const Form& form) {
  UserRecord user;
  if (auto refused = Authenticate(form, request, AnswerKind::kKeepalive, user)) {
    return std::move(*refused);
  }
  const std::string note = "user=" + user.name;
  const std::string key = AsciiLower(user.name);
  const std::string guid = form.Get("InstanceGUID");
  const Published published = ReadPublished(form, request);
  auto result = presence_.Touch(key, guid, published, clock_());
  if (result.state == Presence::Keepalive::kUnknown && shared_) {
    // Logged in through another process that this one has not heard from.
    switch (shared_->Recover(user.id, guid, clock_())) {
      case SharedPresence::Found::kSame:
        result = presence_.Touch(key, guid, published, clock_());
        break;
      case SharedPresence::Found::kReplaced:
        return Text("#" + std::string(kLoggedInElsewhere), note + " ended by another login");
      case SharedPresence::Found::kNone:
        break;
    }
  }
  switch (result.state) {
    case Presence::Keepalive::kAlive: {
      // A login the store lost (a sweep racing this keep-alive, or a database
      // restored from backup) is written again whole.
      LoginRecord stored = result.login;
      stored.startedMs = clocks_.WallOf(stored.startedMs);
      stored.lastSeenMs = clocks_.WallOf(stored.lastSeenMs);
      StoreStatus written = StoreStatus::kOk;
      if (result.persist && !result.changed && !result.unsaved) {
        written = store_.TouchLogin(stored.userId, stored.instanceGuid, stored.lastSeenMs);
      }
      if (result.changed || result.unsaved || written == StoreStatus::kNotFound) {
        written = store_.SaveLogin(stored);
      }
      if (written == StoreStatus::kFailed) presence_.Unsaved(key, guid);
      return Text("+", note + " alive" + (result.changed ? ", address changed" : ""));
    }
    case Presence::Keepalive::kEnded:
      return Text("#" + result.endedReason, note + " ended by another login");
    case Presence::Keepalive::kUnknown:
      break;
  }
  return Text("-", note + " not logged in");
}

HttpResponse Service::Syncblist(const HttpRequest& request, const Form& form) {
  UserRecord user;
  if (auto refused = Authenticate(form, request, AnswerKind::kStatus, user))
    return std::move(*refused);
  // Names the program could never have accepted are dropped, and each name
  // is kept once, so the list always reads back as valid XML.
  std::vector<std::string> names;
  std::vector<std::string> keys;
  for (const auto name : form.GetAll("buddy")) {
    std::string key = AsciiLower(name);
    if (!IsValidUserName(name) || std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
    if (names.size() == config_.maxBuddies) break;
    keys.push_back(std::move(key));
    names.emplace_back(name);
  }
  const std::string note = "user=" + user.name;
  if (store_.SetBuddyList(user.id, names) != StoreStatus::kOk) {
    return Refusal(AnswerKind::kStatus, kStoreTrouble, request, note);
  }
  return Text("+", note + " " + std::to_string(names.size()) + " buddies");
}

HttpResponse Service::Getuserlist(const HttpRequest& request, const Form& form) {
  UserRecord user;
  if (auto refused = Authenticate(form, request, AnswerKind::kUserList, user))
    return std::move(*refused);
  const auto names = form.GetAll("buddy");
  if (shared_) shared_->MaybeRefresh(clock_());
  std::string answer = UserListStart();
  answer.reserve(answer.size() + 200 * names.size());
  const size_t online = presence_.AppendOnline(names, clock_(), answer);
  FinishUserList(answer);
  return Xml(std::move(answer), "user=" + user.name + " " + std::to_string(online) + "/" +
                                    std::to_string(names.size()) + " online");
}

HttpResponse Service::Iamtalking(const HttpRequest& request, const Form& form) {
  // The call report carries no password. Our program sends the key its
  // login was given; a report without one (older programs, or a login taken
  // over from an earlier run) must come from the address of the login.
  const std::string name(Trim(form.Get("User")));
  const std::string key = form.Get("ReportKey");
  LoginRecord login;
  if (!IsValidUserName(name) || !presence_.Find(AsciiLower(name), clock_(), login)) {
    return Refusal(AnswerKind::kStatus, "You are not logged in.", request, {});
  }
  const std::string note = "user=" + login.userName;
  if (!key.empty() && !login.reportKey.empty()) {
    if (!SameSecret(key, login.reportKey)) {
      return Refusal(AnswerKind::kStatus, "The call report does not belong to your login.", request,
                     note);
    }
  } else if (login.sourceIp != SourceText(request)) {
    return Refusal(AnswerKind::kStatus, "You are not logged in.", request, {});
  }
  if (!reportLimiter_.Allow(static_cast<uint32_t>(login.userId), clock_())) {
    return Refusal(AnswerKind::kStatus, "Too many call reports. Please try again later.", request,
                   note);
  }
  const std::string conference = form.Get("VoiceConferenceGUID");
  if (!IsValidGuid(conference)) {
    return Refusal(AnswerKind::kStatus, "The call report has no valid VoiceConferenceGUID.",
                   request, note);
  }
  const auto users = form.GetAll("RemUser");
  const auto minutes = form.GetAll("Minutes");
  const auto delays = form.GetAll("AvgDelay");
  std::vector<CallParticipant> rows;
  for (size_t i = 0; i < users.size() && i < minutes.size() && i < delays.size(); ++i) {
    if (rows.size() == kMaxCallRows) break;
    if (!IsValidUtf8(users[i]) || users[i].size() > 63) continue;
    rows.push_back({std::string(users[i]), LeadingNumber(minutes[i]), LeadingNumber(delays[i])});
  }
  int64_t sessionId = 0;
  if (store_.ReportCall(conference, login.userId, rows, form.Get("IsRecorded") == "1",
                        clocks_.wall(), sessionId) != StoreStatus::kOk) {
    return Refusal(AnswerKind::kStatus, kStoreTrouble, request, note);
  }
  return Text(SessionAnswer(sessionId), note + " session " + std::to_string(sessionId));
}

HttpResponse Service::Fwtest(const HttpRequest& request, const Form& form) {
  // The datagrams go to the address the request came from, whatever IPAddr
  // says, so the service cannot be pointed at anybody else.
  if (request.sourceIp == 0) {
    return Refusal(AnswerKind::kFwtest, "The test needs an IPv4 connection.", request, {});
  }
  const Reach reach = ReachOf(request.sourceIp);
  if (reach != Reach::kPublic &&
      (reach == Reach::kNever || config_.behindProxy || reach != ReachOf(config_.listenIp))) {
    return Refusal(AnswerKind::kFwtest, "The service does not send test packets to your address.",
                   request, "to " + SourceText(request));
  }
  if (!fwtestLimiter_.Allow(request.sourceIp, clock_())) {
    const auto body = BuildFwtestAnswer(SourceText(request), 0, 2,
                                        "Too many tests from your address. Please wait a "
                                        "minute and try again.");
    return Xml(body, "rate limited");
  }
  const std::string portText(Trim(form.Get("Port")));
  const int64_t port = LeadingNumber(portText);
  if (portText.empty() || portText.find_first_not_of("0123456789") != std::string::npos ||
      port < 1 || port > 65535) {
    return Refusal(AnswerKind::kFwtest, "The port to test is not valid.", request, {});
  }
  // Always this text, whatever Message asks: it is what the programs wait
  // for, and caller-chosen bytes would make the service a relay.
  constexpr std::string_view message = "Congratulations";
  const int64_t ipType = LeadingNumber(form.Get("IPType"));
  const SockAddr to{request.sourceIp, static_cast<uint16_t>(port)};
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(message.data()),
                                       message.size());
  int sent = 0;
  {
    std::lock_guard lock(fwtestMutex_);
    for (int i = 0; i < std::min(config_.fwtestDatagrams, kMaxTestDatagrams); ++i) {
      sent += fwtestSocket_.SendTo(bytes, to) ? 1 : 0;
    }
  }
  const std::string note = "to " + to.ToString();
  if (sent == 0) {
    return Xml(BuildFwtestAnswer(SourceText(request), 0, 3,
                                 "The service could not send the test packets."),
               note + " failed");
  }
  return Xml(
      BuildFwtestAnswer(SourceText(request), ipType <= 3 ? static_cast<int>(ipType) : 0, 0, ""),
      note + " sent " + std::to_string(sent));
}

}  // namespace dialvo::server
