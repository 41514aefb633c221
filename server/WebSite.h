#pragma once
// The service's web pages under /app_links/, as the program opens them from
// its menus: home, invite, register, search, help, my account, change
// password, feedback and the context help pages. Plain HTML; everything
// taken from a request or the store is escaped.
#include <string>

#include "server/HttpTypes.h"
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
  WebSite(Store& store, PasswordChecker& passwords, const Presence& presence, WallClock clock,
          Limits limits);

  // path: lower case, without leading slashes. serviceHost: the host[:port]
  // the program should be set to, for the invitation.
  HttpResponse Handle(const std::string& path, const HttpRequest& request,
                      const std::string& serviceHost);
  void Sweep(int64_t nowMs);

 private:
  HttpResponse Home();
  HttpResponse Invite(const Form& query, const std::string& serviceHost);
  HttpResponse Register(const HttpRequest& request);
  HttpResponse Search(const Form& query);
  HttpResponse Help();
  HttpResponse MyAccount(const Form& query);
  HttpResponse ChangePassword(const HttpRequest& request, const Form& query);
  HttpResponse Feedback(const HttpRequest& request, const Form& query);
  HttpResponse ContextHelp(const Form& query);

  Store& store_;
  PasswordChecker& passwords_;
  const Presence& presence_;
  const WallClock clock_;
  RateLimiter formLimiter_;
};

}  // namespace dialvo::server
