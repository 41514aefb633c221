#include "server/WebSite.h"

#include <sodium.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "base/UdpSocket.h"
#include "server/Accounts.h"
#include "server/Form.h"
#include "server/Text.h"

namespace dialvo::server {

namespace {

constexpr size_t kSearchLimit = 50;
constexpr int kSearchBurst = 10;  // searches per source at once, then one per interval
constexpr int64_t kSearchIntervalMs = 2000;
constexpr size_t kRecentCalls = 10;
constexpr size_t kMaxFeedbackBytes = 4000;
constexpr int64_t kSessionMs = int64_t{15} * 60 * 1000;
constexpr std::string_view kSessionCookie = "dialvo_session";
constexpr std::string_view kFormCookie = "dialvo_form";
constexpr int64_t kFormCookieMs = int64_t{24} * 3600 * 1000;
constexpr std::string_view kFormTokenField = "form_token";
constexpr std::string_view kFormExpired =
    "This form was not sent from a page of this service, or it is too old. Please check it "
    "and send it again.";

// The host[:port] of an absolute URL or origin ("http://host:port/path").
std::string_view HostOfUrl(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  url.remove_prefix(scheme + 3);
  return url.substr(0, url.find_first_of("/?#"));
}

// A form post made by a page of this service: browsers name the page's
// origin (or at least its address) on a post; one naming another site is a
// forged post from that site. A post naming neither is let through, as from
// old browsers and tools.
bool FromOurOwnPage(const HttpRequest& request, std::string_view serviceHost) {
  const std::string& named = !request.origin.empty() ? request.origin : request.referer;
  if (named.empty()) return true;
  const std::string_view host = HostOfUrl(named);
  return !host.empty() &&
         (EqualsIgnoreCase(host, request.host) || EqualsIgnoreCase(host, serviceHost));
}

// The value of one cookie in a Cookie header; empty when absent.
std::string CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const size_t end = header.find(';');
    std::string_view part = header.substr(0, end);
    header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
    part = Trim(part);
    if (part.size() > name.size() && part.starts_with(name) && part[name.size()] == '=') {
      return std::string(part.substr(name.size() + 1));
    }
  }
  return {};
}

std::string E(std::string_view text) { return EscapeMarkup(text); }

// A form cookie as handed out: 32 hexadecimal digits.
bool IsFormCookie(std::string_view value) {
  return value.size() == 32 && value.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The cookie attributes of this site's cookies.
std::string CookieAttributes(const HttpRequest& request, int64_t maxAgeMs) {
  return "; Path=/app_links/; Max-Age=" + std::to_string(maxAgeMs / 1000) +
         "; HttpOnly; SameSite=Strict" + (request.secure ? "; Secure" : "");
}

std::string FormatTime(int64_t ms) {
  const time_t seconds = static_cast<time_t>(ms / 1000);
  tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
  return text;
}

HttpResponse Html(int status, std::string_view title, std::string_view content, std::string note) {
  std::string body =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<title>";
  body += E(title);
  body +=
      " - Orvanta Dialvo</title><style>body{font-family:sans-serif;max-width:44em;"
      "margin:1em auto;padding:0 1em;line-height:1.4}nav a{margin-right:.8em}"
      "label{display:block;margin:.5em 0}.error{color:#a00}.ok{color:#070}"
      "td,th{padding:.2em .6em;text-align:left}</style></head><body>\n<nav>"
      "<a href=\"/app_links/app_home.aspx\">Home</a>"
      "<a href=\"/app_links/app_register.aspx\">Register</a>"
      "<a href=\"/app_links/app_search.aspx\">Search</a>"
      "<a href=\"/app_links/app_changepassword.aspx\">Change password</a>"
      "<a href=\"/app_links/app_Help.aspx\">Help</a></nav>\n<h1>";
  body += E(title);
  body += "</h1>\n";
  body += content;
  body += "\n</body></html>\n";
  return {status, "text/html; charset=utf-8", std::move(body), std::move(note), {}};
}

std::string Message(bool ok, std::string_view text) {
  return std::string("<p class=\"") + (ok ? "ok" : "error") + "\">" + E(text) + "</p>\n";
}

std::string Field(std::string_view label, std::string_view name, std::string_view type,
                  std::string_view value = {}) {
  std::string out =
      "<label>" + E(label) + "<br><input name=\"" + E(name) + "\" type=\"" + E(type) + "\"";
  if (!value.empty()) out += " value=\"" + E(value) + "\"";
  out += "></label>\n";
  return out;
}

std::string ConnectionText(const LoginRecord& login) {
  switch (login.ipType) {
    case 0:
      return login.address == "LAN" ? "Behind a firewall that does not allow incoming calls"
                                    : "Directly connected to the internet";
    case 1:
      return "Behind a firewall; its address is detected by the service";
    case 2:
      return "Behind a firewall with a configured address";
    case 3:
      return "Calls from the local network only";
    default:
      return "Unknown";
  }
}

std::string ContextHelpText(std::string_view id) {
  if (id == "10") {
    return "<h2>Network settings</h2><p>Choose how this computer reaches the internet. "
           "<b>Directly connected</b>: the computer has a public address and others call it "
           "there. <b>Behind a firewall, detect the address</b>: the service publishes the "
           "address your requests come from; forward the UDP listening port (1720 unless you "
           "changed it) on your router to this computer. <b>Behind a firewall with a "
           "configured address</b>: the same, with the router's public address typed in. "
           "<b>Local network only</b>: only computers of your own network can call you.</p>"
           "<p>If your network needs an HTTP proxy for the web, enter its name and port.</p>";
  }
  if (id == "13") {
    return "<h2>Testing your connection</h2><p>The test asks the service to send a few UDP "
           "packets to the address it sees you at, on your listening port, and waits five "
           "seconds for them. When they arrive, others can call you. When they do not, check "
           "that your router forwards the UDP listening port to this computer and that no "
           "firewall program blocks it. The service sends test packets only to the address "
           "the request came from, and only a few tests a minute.</p>";
  }
  if (id == "14") {
    return "<h2>Program settings</h2><p>Set how long the program rings for an incoming call, "
           "whether it starts with the system, where recordings are saved and which "
           "notifications it shows.</p>";
  }
  if (id == "15") {
    return "<h2>When a call does not get through</h2><p>If the call rang at the other end, "
           "your buddy did not answer in time: try again later. If it never rang, your "
           "buddy's computer may be off, the program may not be running, or a firewall or "
           "router in front of it may not let calls in: ask your buddy to run the connection "
           "test in the network settings, or to call you instead. A computer that is reachable "
           "only from its own network cannot be called from outside it.</p>";
  }
  if (id == "16") {
    return "<h2>Calling from behind a firewall</h2><p>Most home routers translate addresses "
           "(NAT). To receive calls, forward the UDP listening port (1720 by default) from "
           "the router to this computer's local address, then choose <b>Behind a "
           "firewall</b> in the network settings and run the connection test.</p>";
  }
  if (id == "17") {
    return "<h2>Calling within your local network</h2><p>Choose <b>Local network only</b> "
           "when nobody outside your network needs to call you. Buddies on the same network "
           "call you at the address you configure.</p>";
  }
  return "<p>There is no help page with this number. See the <a "
         "href=\"/app_links/app_Help.aspx\">help</a>.</p>";
}

}  // namespace

WebSite::WebSite(Store& store, PasswordChecker& passwords, const Presence& presence, Clocks clocks,
                 Limits limits, Throttles throttles)
    : store_(store),
      passwords_(passwords),
      presence_(presence),
      clocks_(std::move(clocks)),
      clock_(clocks_.steady),
      throttles_(throttles),
      formLimiter_(limits.formBurst, limits.formIntervalMs),
      searchLimiter_(kSearchBurst, kSearchIntervalMs) {
  if (sodium_init() < 0) std::abort();  // no randomness: no secure tokens either
  // Start replaces these with the keys shared through the store.
  randombytes_buf(formKey_.data(), formKey_.size());
  randombytes_buf(sessionKey_.data(), sessionKey_.size());
}

static_assert(crypto_auth_KEYBYTES == 32);

namespace {

std::string Mac(const std::array<unsigned char, 32>& key, std::string_view message) {
  unsigned char mac[crypto_auth_BYTES];
  crypto_auth(mac, reinterpret_cast<const unsigned char*>(message.data()), message.size(),
              key.data());
  char hex[2 * crypto_auth_BYTES + 1];
  sodium_bin2hex(hex, sizeof hex, mac, sizeof mac);
  return hex;
}

bool KeyFromHex(std::string_view hex, std::array<unsigned char, 32>& key) {
  size_t length = 0;
  return sodium_hex2bin(key.data(), key.size(), hex.data(), hex.size(), nullptr, &length,
                        nullptr) == 0 &&
         length == key.size();
}

}  // namespace

bool WebSite::Start(std::string& error) {
  // Every process on the database signs with the same keys, so a form or a
  // session one of them hands out is good at any of them.
  std::string formKey;
  std::string sessionKey;
  if (store_.Secret("form token key", formKey) != StoreStatus::kOk ||
      store_.Secret("session key", sessionKey) != StoreStatus::kOk ||
      !KeyFromHex(formKey, formKey_) || !KeyFromHex(sessionKey, sessionKey_)) {
    error = "cannot read the service's keys from the database";
    return false;
  }
  return true;
}

std::string WebSite::SessionToken(int64_t expiresWallMs, int64_t userId,
                                  std::string_view instanceGuid) const {
  std::string token = std::to_string(expiresWallMs);
  token += '.';
  token += std::to_string(userId);
  token += '.';
  token += instanceGuid;
  return token + "." + Mac(sessionKey_, token);
}

bool WebSite::ReadSessionToken(std::string_view token, int64_t& userId,
                               std::string& instanceGuid) const {
  const size_t last = token.rfind('.');
  if (last == std::string_view::npos || token.size() > 200) return false;
  const std::string_view signedPart = token.substr(0, last);
  if (!SameSecret(token.substr(last + 1), Mac(sessionKey_, signedPart))) return false;
  const size_t first = signedPart.find('.');
  const size_t second = signedPart.find('.', first + 1);
  if (first == std::string_view::npos || second == std::string_view::npos) return false;
  const int64_t expires = LeadingNumber(signedPart.substr(0, first));
  userId = LeadingNumber(signedPart.substr(first + 1, second - first - 1));
  instanceGuid = std::string(signedPart.substr(second + 1));
  // Wall time: the processes that check a session need not be the one that
  // made it, and share no steady clock.
  return expires > clocks_.wall();
}

std::string WebSite::FormToken(std::string_view cookie, std::string_view form) const {
  return Mac(formKey_, std::string(cookie) + "|" + std::string(form));
}

bool WebSite::FormTokenValid(const HttpRequest& request, const Form& form,
                             std::string_view formName) const {
  const std::string cookie = CookieValue(request.cookie, kFormCookie);
  return IsFormCookie(cookie) && SameSecret(form.Get(kFormTokenField), FormToken(cookie, formName));
}

std::string WebSite::FormTokenField(const HttpRequest& request, std::string_view formName,
                                    std::string& newCookie) const {
  std::string cookie = CookieValue(request.cookie, kFormCookie);
  if (!IsFormCookie(cookie)) {
    cookie = RandomToken(16);
    newCookie = std::string(kFormCookie) + "=" + cookie + CookieAttributes(request, kFormCookieMs);
  }
  return "<input type=\"hidden\" name=\"" + std::string(kFormTokenField) + "\" value=\"" +
         FormToken(cookie, formName) + "\">";
}

HttpResponse WebSite::FormPage(const HttpRequest& request, std::string_view formName, int status,
                               std::string_view title, std::string content,
                               std::string_view formHtml, std::string note) const {
  std::string cookie;
  const size_t close = formHtml.rfind("</form>");
  content += formHtml.substr(0, close);
  content += FormTokenField(request, formName, cookie);
  if (close != std::string_view::npos) content += formHtml.substr(close);
  HttpResponse response = Html(status, title, content, std::move(note));
  if (!cookie.empty()) response.headers.emplace_back("Set-Cookie", cookie);
  return response;
}

void WebSite::Sweep(int64_t nowMs) {
  formLimiter_.Sweep(nowMs);
  searchLimiter_.Sweep(nowMs);
}

HttpResponse WebSite::Handle(const std::string& path, const HttpRequest& request,
                             const std::string& serviceHost) {
  const Form query = Form::FromPairs(request.query);
  constexpr std::string_view kPrefix = "app_links/";
  std::string_view page = path;
  if (page.starts_with(kPrefix)) {
    page.remove_prefix(kPrefix.size());
  } else if (page == "app_links" || page == "index.html") {
    page = {};
  } else if (!page.empty()) {
    page = "-";  // outside /app_links/
  }
  if (request.method == "POST" && !FromOurOwnPage(request, serviceHost)) {
    return Html(403, "Form refused",
                "<p>This form was sent from another web site, so it was not accepted. Open the "
                "page from <a href=\"/app_links/app_home.aspx\">this service</a> and send it "
                "from there.</p>",
                "form from another site refused: " + request.origin.substr(0, 100) +
                    request.referer.substr(0, 100));
  }
  if (page.empty() || page == "app_home.aspx") return Home();
  if (page == "app_invite.aspx") return Invite(query, serviceHost);
  if (page == "app_register.aspx") return Register(request);
  if (page == "app_search.aspx") return Search(request, query);
  if (page == "app_help.aspx") return Help();
  if (page == "app_myaccount.aspx") return MyAccount(request, query);
  if (page == "app_changepassword.aspx") return ChangePassword(request, query);
  if (page == "app_feedback.aspx") return Feedback(request, query);
  if (page == "app_contexthelp.aspx") return ContextHelp(query);
  return Html(404, "Page not found",
              "<p>There is no such page. Start from the <a href=\"/app_links/app_home.aspx\">"
              "home page</a>.</p>",
              "page not found");
}

HttpResponse WebSite::Home() {
  return Html(200, "Orvanta Dialvo",
              "<p>Talk PC to PC with the people on your buddy list. This service tells your "
              "program which buddies are online and where to reach them.</p><ul>"
              "<li><a href=\"/app_links/app_register.aspx\">Register a user</a></li>"
              "<li><a href=\"/app_links/app_search.aspx\">Search for a buddy</a></li>"
              "<li><a href=\"/app_links/app_changepassword.aspx\">Change your password</a></li>"
              "<li><a href=\"/app_links/app_invite.aspx\">Invite a friend</a></li>"
              "<li><a href=\"/app_links/app_feedback.aspx\">Send feedback</a></li>"
              "<li><a href=\"/app_links/app_Help.aspx\">Help</a></li></ul>",
              "page home");
}

HttpResponse WebSite::Invite(const Form& query, const std::string& serviceHost) {
  LoginRecord login;
  const bool known = presence_.FindByInstance(query.Get("InstanceGUID"), clock_(), login);
  const std::string registerUrl = "http://" + serviceHost + "/app_links/app_register.aspx";
  std::string content =
      "<p>To talk with a friend, both of you need an account on this service and each "
      "other on your buddy lists.</p><ol>"
      "<li>Your friend installs Orvanta Dialvo and sets its service to <code>" +
      E(serviceHost) + "</code>.</li><li>Your friend registers at <a href=\"" + E(registerUrl) +
      "\">" + E(registerUrl) + "</a>.</li><li>Your friend adds you as a buddy";
  if (known) content += ": your user name is <b>" + E(login.userName) + "</b>";
  content += ".</li><li>You add your friend's user name to your buddy list.</li></ol>";
  std::string mail = "Let's talk with Orvanta Dialvo. Set the service to " + serviceHost +
                     ", register at " + registerUrl;
  if (known) mail += " and add me as a buddy: " + login.userName;
  mail += ".";
  content += "<p><a href=\"mailto:?subject=" + PercentEncode("Talk with me on Orvanta Dialvo") +
             "&amp;body=" + PercentEncode(mail) + "\">Write the invitation as an e-mail</a></p>";
  return Html(200, "Invite a friend", content, "page invite");
}

HttpResponse WebSite::Register(const HttpRequest& request) {
  std::string content;
  std::string name;
  int status = 200;
  if (request.method == "POST") {
    auto form = request.bodyTooLarge ? std::nullopt : Form::Parse(request.body);
    if (form) name = std::string(Trim(form->Get("name")));
    if (!form) {
      content += Message(false, "The form could not be read.");
    } else if (!FormTokenValid(request, *form, "register")) {
      status = 403;
      content += Message(false, kFormExpired);
    } else if (!formLimiter_.Allow(request.sourceIp, clock_())) {
      content += Message(false, "Too many requests from your address. Please try again later.");
    } else {
      const std::string password = form->Get("password");
      AccountResult result;
      if (password != form->Get("password2")) {
        result = {false, "The two passwords differ."};
      } else {
        result = CreateAccount(store_, passwords_, name, password, clocks_.wall());
      }
      if (result.ok) {
        return Html(200, "Account created",
                    Message(true, result.message) +
                        "<p>Log in from Orvanta Dialvo with this user name and password.</p>",
                    "page register created " + name);
      }
      content += Message(false, result.message);
    }
  }
  const std::string form =
      "<form method=\"post\" action=\"/app_links/app_register.aspx\">" +
      Field("User name", "name", "text", name) + Field("Password", "password", "password") +
      Field("Password again", "password2", "password") +
      "<button type=\"submit\">Register</button></form>"
      "<p>User names have up to 63 characters, without blanks or punctuation other "
      "than . - and _. Passwords have at least " +
      std::to_string(kMinPasswordLength) + " characters.</p>";
  return FormPage(request, "register", status, "Register a user", std::move(content), form,
                  status == 403 ? "page register form token refused" : "page register");
}

HttpResponse WebSite::Search(const HttpRequest& request, const Form& query) {
  const std::string text(Trim(query.Get("name")));
  std::string content = "<form method=\"get\" action=\"/app_links/app_search.aspx\">" +
                        Field("Beginning of a user name", "name", "search", text) +
                        "<button type=\"submit\">Search</button></form>\n";
  if (!text.empty() && !searchLimiter_.Allow(request.sourceIp, clock_())) {
    content += Message(false, "Too many searches from your address. Please wait a moment.");
  } else if (!text.empty()) {
    std::vector<std::string> names;
    if (store_.SearchUsers(text, kSearchLimit, names) != StoreStatus::kOk) {
      content += Message(false, "The search failed. Please try again later.");
    } else if (names.empty()) {
      content += "<p>Nobody's user name starts with \"" + E(text) + "\".</p>";
    } else {
      const int64_t now = clock_();
      content += "<table><tr><th>User name</th><th>Now</th></tr>";
      for (const auto& name : names) {
        LoginRecord login;
        const bool online = presence_.Find(AsciiLower(name), now, login);
        content += "<tr><td>" + E(name) + "</td><td>" + (online ? "online" : "") + "</td></tr>";
      }
      content += "</table>";
      if (names.size() == kSearchLimit) content += "<p>Only the first matches are shown.</p>";
      content +=
          "<p>Add a name to your buddy list in the program to see when that user is "
          "online.</p>";
    }
  }
  return Html(200, "Search for a buddy", content, "page search");
}

HttpResponse WebSite::Help() {
  return Html(
      200, "Help",
      "<h2>Getting started</h2><p>Register a user on this site, then type the user name and "
      "password on the program's login page. Tick <b>Auto Login</b> to log in whenever the "
      "program starts.</p><h2>Buddies</h2><p>Add the user names of the people you want to "
      "call to your buddy list. The service keeps the list, so it follows you to every "
      "computer you log in from. Buddies who are online appear under <b>Buddies "
      "Online</b>; select one and press Talk to call.</p><h2>Staying online</h2><p>While you "
      "are logged in, the program tells the service every 45 seconds that it is still "
      "running. After three missed reports you are shown as offline. Logging in from a "
      "second computer logs the first one off.</p><h2>Calls from outside your network</h2>"
      "<p>See <a href=\"/app_links/app_contexthelp.aspx?id=16\">calling from behind a "
      "firewall</a> and <a href=\"/app_links/app_contexthelp.aspx?id=13\">testing your "
      "connection</a>.</p>",
      "page help");
}

HttpResponse WebSite::MyAccount(const HttpRequest& request, const Form& query) {
  const auto notLoggedIn = [] {
    return Html(200, "My account",
                "<p>You are not logged in. Log in from Orvanta Dialvo and open this page "
                "from its menu.</p>",
                "page myaccount not logged in");
  };
  const int64_t now = clock_();
  LoginRecord login;
  const std::string guid = query.Get("InstanceGUID");
  if (!guid.empty()) {
    // The program's link: from the address of its login only, and answered
    // with a session cookie and a link without the GUID.
    if (!presence_.FindByInstance(guid, now, login) ||
        login.sourceIp != SockAddr{request.sourceIp, 0}.IpText()) {
      return notLoggedIn();
    }
    const std::string token =
        SessionToken(clocks_.wall() + kSessionMs, login.userId, login.instanceGuid);
    HttpResponse moved =
        Html(303, "My account", "<p><a href=\"/app_links/app_myaccount.aspx\">My account</a></p>",
             "page myaccount session for " + login.userName);
    moved.headers = {{"Location", "/app_links/app_myaccount.aspx"},
                     {"Set-Cookie", std::string(kSessionCookie) + "=" + token +
                                        CookieAttributes(request, kSessionMs)}};
    return moved;
  }
  // The session lasts no longer than the login it was opened from.
  int64_t userId = 0;
  std::string instance;
  if (!ReadSessionToken(CookieValue(request.cookie, kSessionCookie), userId, instance) ||
      !presence_.FindByInstance(instance, now, login) || login.userId != userId) {
    return notLoggedIn();
  }
  std::string content = "<table>";
  const auto row = [&](std::string_view label, std::string_view value) {
    content += "<tr><th>" + E(label) + "</th><td>" + E(value) + "</td></tr>";
  };
  row("User name", login.userName);
  row("Logged in since", FormatTime(clocks_.WallOf(login.startedMs)));
  row("Last sign of life", FormatTime(clocks_.WallOf(login.lastSeenMs)));
  row("Connection", ConnectionText(login));
  row("Address given to buddies", login.address);
  row("Listening port", std::to_string(login.listeningPort));
  row("Program version", std::to_string(login.version));
  row("Requests come from", login.sourceIp);
  content += "</table>\n<h2>Buddy list</h2>";
  std::vector<std::string> buddies;
  if (store_.GetBuddyList(login.userId, buddies) != StoreStatus::kOk) {
    content += Message(false, "The buddy list cannot be read right now.");
  } else if (buddies.empty()) {
    content += "<p>Your buddy list is empty.</p>";
  } else {
    content += "<ul>";
    for (const auto& buddy : buddies) content += "<li>" + E(buddy) + "</li>";
    content += "</ul>";
  }
  std::vector<CallSummary> calls;
  if (store_.RecentCalls(login.userId, kRecentCalls, calls) == StoreStatus::kOk && !calls.empty()) {
    content +=
        "<h2>Recent calls</h2><table><tr><th>Started</th><th>With</th>"
        "<th>Recorded</th></tr>";
    for (const auto& call : calls) {
      std::string with;
      for (const auto& p : call.participants) {
        if (!with.empty()) with += ", ";
        with += p.name + " (" + std::to_string(p.minutes) + " min, " +
                std::to_string(p.avgDelayMs) + " ms)";
      }
      content += "<tr><td>" + E(FormatTime(call.startedMs)) + "</td><td>" + E(with) + "</td><td>" +
                 (call.recorded ? "yes" : "no") + "</td></tr>";
    }
    content += "</table>";
  }
  content +=
      "<p><a href=\"/app_links/app_changepassword.aspx?user=" + PercentEncode(login.userName) +
      "\">Change your password</a></p>";
  return Html(200, "My account", content, "page myaccount " + login.userName);
}

HttpResponse WebSite::ChangePassword(const HttpRequest& request, const Form& query) {
  std::string content;
  std::string name = query.Get("user");
  int status = 200;
  if (request.method == "POST") {
    auto form = request.bodyTooLarge ? std::nullopt : Form::Parse(request.body);
    if (form) name = std::string(Trim(form->Get("name")));
    if (!form) {
      content += Message(false, "The form could not be read.");
    } else if (!FormTokenValid(request, *form, "changepassword")) {
      status = 403;
      content += Message(false, kFormExpired);
    } else {
      const std::string fresh = form->Get("new");
      const std::string account = AsciiLower(name);
      const std::string source = SockAddr{request.sourceIp, 0}.IpText();
      const int64_t now = clock_();
      const int64_t waitMs =
          std::max(throttles_.account.WaitMs(account, now), throttles_.source.WaitMs(source, now));
      AccountResult result;
      if (fresh != form->Get("new2")) {
        result = {false, "The two new passwords differ."};
      } else if (waitMs > 0) {
        // Checked before any hashing, as for logins.
        result = {false, "Too many failed logins. Please try again in " +
                             std::to_string((waitMs + 999) / 1000) + " seconds."};
      } else {
        result = server::ChangePassword(store_, passwords_, name, form->Get("old"), fresh);
        if (result.badCredentials) {
          throttles_.account.Failed(account, now);
          throttles_.source.Failed(source, now);
        } else if (result.ok) {
          throttles_.account.Succeeded(account);
        }
      }
      if (result.ok) {
        return Html(200, "Password changed",
                    Message(true, result.message) +
                        "<p>Log in again from the program with the new password.</p>",
                    "page changepassword changed " + name);
      }
      content += Message(false, result.message);
    }
  }
  const std::string form =
      "<form method=\"post\" action=\"/app_links/app_changepassword.aspx\">" +
      Field("User name", "name", "text", name) + Field("Old password", "old", "password") +
      Field("New password", "new", "password") + Field("New password again", "new2", "password") +
      "<button type=\"submit\">Change password</button></form>";
  return FormPage(request, "changepassword", status, "Change password", std::move(content), form,
                  status == 403 ? "page changepassword form token refused" : "page changepassword");
}

HttpResponse WebSite::Feedback(const HttpRequest& request, const Form& query) {
  std::string instance = query.Get("InstanceGUID");
  std::string content;
  std::string kept;  // the text of a refused post, offered again
  int status = 200;
  if (request.method == "POST") {
    auto form = request.bodyTooLarge ? std::nullopt : Form::Parse(request.body);
    const std::string text = form ? std::string(Trim(form->Get("text"))) : std::string();
    if (form) instance = form->Get("InstanceGUID");
    if (form && text.size() <= kMaxFeedbackBytes && IsValidUtf8(text)) kept = text;
    if (form && !FormTokenValid(request, *form, "feedback")) {
      status = 403;
      content += Message(false, kFormExpired);
    } else if (!form || text.empty() || text.size() > kMaxFeedbackBytes || !IsValidUtf8(text)) {
      content += Message(false, "Please write up to " + std::to_string(kMaxFeedbackBytes) +
                                    " characters of text.");
    } else if (!formLimiter_.Allow(request.sourceIp, clock_())) {
      content += Message(false, "Too many requests from your address. Please try again later.");
    } else {
      LoginRecord login;
      const int64_t userId = presence_.FindByInstance(instance, clock_(), login) ? login.userId : 0;
      if (store_.AddFeedback(userId, text, clocks_.wall()) == StoreStatus::kOk) {
        return Html(200, "Thank you", Message(true, "Your feedback was received."),
                    "page feedback received");
      }
      content += Message(false, "The feedback could not be saved. Please try again later.");
    }
  }
  const std::string form =
      "<form method=\"post\" action=\"/app_links/app_feedback.aspx\">"
      "<input type=\"hidden\" name=\"InstanceGUID\" value=\"" +
      E(instance) + "\"><label>Your message<br><textarea name=\"text\" rows=\"8\" cols=\"60\">" +
      E(kept) + "</textarea></label><button type=\"submit\">Send</button></form>";
  return FormPage(request, "feedback", status, "Feedback", std::move(content), form,
                  status == 403 ? "page feedback form token refused" : "page feedback");
}

HttpResponse WebSite::ContextHelp(const Form& query) {
  const std::string id = query.Get("id");
  return Html(200, "Help", ContextHelpText(id), "page contexthelp " + id.substr(0, 8));
}

}  // namespace dialvo::server
