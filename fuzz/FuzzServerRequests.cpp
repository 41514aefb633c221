// Feeds arbitrary bodies to every script and page of the presence service,
// with a real store holding one account, and to the form and markup helpers.
// The second byte chooses the request's trimmings: a valid form cookie and
// token (so that form posts get past the token check), TLS, and an Origin of
// this site or another.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "server/Accounts.h"
#include "server/Form.h"
#include "server/HttpServer.h"
#include "server/Passwords.h"
#include "server/Service.h"
#include "server/SqliteStore.h"
#include "server/Text.h"

namespace {

using namespace dialvo::server;

constexpr const char* kPaths[] = {
    "/DialvoServer.asp",
    "/dialvo\\logmein.asp",
    "/dialvo\\logmeoff.asp",
    "/dialvo\\iamup.asp",
    "/dialvo\\syncblist.asp",
    "/dialvo\\getuserlist.asp",
    "/dialvo\\iamtalking.asp",
    "/dialvo\\fwtest.asp",
    "/app_links/app_register.aspx",
    "/app_links/app_search.aspx",
    "/app_links/app_myaccount.aspx",
    "/app_links/app_changepassword.aspx",
    "/app_links/app_feedback.aspx",
};

struct Fixture {
  std::string dir;
  std::unique_ptr<SqliteStore> store;
  PasswordChecker passwords{HashCost::Minimal(), 1};
  std::unique_ptr<Service> service;
  std::string formCookie;
  std::unordered_map<std::string, std::string> formTokens;  // by path
  Fixture() {
    char tmpl[] = "/tmp/dialvo-fuzz-server-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    dir = tmpl;
    std::string error;
    store = SqliteStore::Open(dir + "/fuzz.db", error);
    if (!store) abort();
    int64_t now = 1'700'000'000'000;
    CreateAccount(*store, passwords, "alice", "secret", now);
    service = std::make_unique<Service>(
        *store, passwords, [] { return int64_t{1'700'000'000'000}; }, ServiceConfig{});
    if (!service->Start(error)) abort();
    // A live login, so that call reports reach the key and address checks.
    HttpRequest login;
    login.method = "POST";
    login.path = "/dialvo\\logmein.asp";
    login.body = "user=alice&Pass=secret&InstanceGUID=fuzz-guid&IPType=1&Version=5";
    login.sourceIp = 0x7F000001u;
    service->Handle(login);
    // The form pages as a browser first sees them, for their cookie and tokens.
    HttpRequest page;
    page.method = "GET";
    page.sourceIp = 0x7F000001u;
    for (const char* path : {"/app_links/app_register.aspx", "/app_links/app_changepassword.aspx",
                             "/app_links/app_feedback.aspx"}) {
      page.path = path;
      page.cookie = formCookie.empty() ? "" : "dialvo_form=" + formCookie;
      const HttpResponse response = service->Handle(page);
      for (const auto& [name, value] : response.headers) {
        if (name == "Set-Cookie" && value.starts_with("dialvo_form=")) {
          formCookie = value.substr(12, value.find(';') - 12);
        }
      }
      const std::string marker = "name=\"form_token\" value=\"";
      const size_t at = response.body.find(marker);
      if (at == std::string::npos || formCookie.empty()) abort();
      formTokens[path] = response.body.substr(at + marker.size(), 64);
    }
  }
  ~Fixture() {
    service.reset();
    store.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fixture;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)Form::Parse(text);
  (void)EscapeMarkup(text);
  (void)EscapeForLog(text);
  (void)IsValidUtf8(text);
  (void)LeadingNumber(text);
  (void)ForwardedFor(text);
  if (size < 2) return 0;
  HttpRequest request;
  request.method = (data[0] & 0x80) ? "GET" : "POST";
  request.path = kPaths[data[0] % std::size(kPaths)];
  request.host = "127.0.0.1:8720";
  request.body = std::string(text.substr(2));
  // Loopback (fwtest datagrams stay on this machine) or a private address,
  // which fwtest refuses and throttles count apart.
  request.sourceIp = (data[0] & 0x40) ? 0x0A000001u : 0x7F000001u;
  request.overloaded = size % 7 == 0;
  const uint8_t trim = data[1];
  if (trim & 1) {
    request.cookie = "dialvo_form=" + fixture.formCookie;
    const auto token = fixture.formTokens.find(request.path);
    if (token != fixture.formTokens.end()) request.body += "&form_token=" + token->second;
  }
  request.secure = (trim & 2) != 0;
  if (trim & 4) request.origin = (trim & 8) ? "https://evil.example" : "http://127.0.0.1:8720";
  (void)fixture.service->Handle(request);
  return 0;
}
