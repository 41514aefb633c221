#pragma once
// The service's web pages under /app_links/, as the program opens them from
// its menus: home, invite, register, search, help, my account, change
// password, feedback and the context help pages. Plain HTML; everything
// taken from a request or the store is escaped.
#include <array>
#include <string>

#include "server/HttpTypes.h"
#include "server/LoginThrottle.h"
#include "server/Passwords.h"
#include "server/Presence.h"
#include "server/RateLimiter.h"
#include "server/Store.h"

namespace dialvo::server {

class Form;

class WebSite {
 public:
  struct Limits {
    int formBurst;           // account and feedback posts per source at once ...
    int64_t formIntervalMs;  // ... then one per interval
  };
  // The failed-login counts the commands keep, per account and per source
  // address: the change-password form checks old passwords too.
  struct Throttles {
    LoginThrottle& account;
    LoginThrottle& source;
  };
  WebSite(Store& store, PasswordChecker& passwords, const Presence& presence, Clocks clocks,
          Limits limits, Throttles throttles);

  // Reads the signing keys shared through the store. False, with the reason
  // in error, when they cannot be had.
  bool Start(std::string& error);

  // path: lower case, without leading slashes. serviceHost: the host[:port]
  // the program should be set to, for the invitation.
  HttpResponse Handle(const std::string& path, const HttpRequest& request,
                      const std::string& serviceHost);
  void Sweep(int64_t nowMs);

 private:
  HttpResponse Home();
  HttpResponse Invite(const Form& query, const std::string& serviceHost);
  HttpResponse Register(const HttpRequest& request);
  HttpResponse Search(const HttpRequest& request, const Form& query);
  HttpResponse Help();
  HttpResponse MyAccount(const HttpRequest& request, const Form& query);
  HttpResponse ChangePassword(const HttpRequest& request, const Form& query);
  HttpResponse Feedback(const HttpRequest& request, const Form& query);
  HttpResponse ContextHelp(const Form& query);

  // Each form carries a token that only a page of this service can make:
  // the MAC of the visitor's form cookie (HttpOnly, SameSite=Strict) and the
  // form's name, under a key made at start.
  std::string FormToken(std::string_view cookie, std::string_view form) const;
  bool FormTokenValid(const HttpRequest& request, const Form& form,
                      std::string_view formName) const;
  // The hidden token field; newCookie is set when the visitor has no cookie.
  std::string FormTokenField(const HttpRequest& request, std::string_view formName,
                             std::string& newCookie) const;
  // content, then formHtml with its token field, and the cookie if new.
  HttpResponse FormPage(const HttpRequest& request, std::string_view formName, int status,
                        std::string_view title, std::string content, std::string_view formHtml,
                        std::string note) const;

  Store& store_;
  PasswordChecker& passwords_;
  const Presence& presence_;
  std::array<unsigned char, 32> formKey_{};  // crypto_auth_KEYBYTES
  const Clocks clocks_;
  const WallClock clock_;  // clocks_.steady: the rate limits
  const Throttles throttles_;
  RateLimiter formLimiter_;
  RateLimiter searchLimiter_;  // a search reads the whole user table
  // The account page's sessions: a signed token in an HttpOnly cookie,
  // handed out when the program opens the page with its InstanceGUID from
  // the address of its login, so that the GUID alone shows nothing and
  // leaves the URL. Nothing is kept per session.
  std::string SessionToken(int64_t expiresWallMs, int64_t userId,
                           std::string_view instanceGuid) const;
  bool ReadSessionToken(std::string_view token, int64_t& userId, std::string& instanceGuid) const;
  std::array<unsigned char, 32> sessionKey_{};
};

}  // namespace dialvo::server
