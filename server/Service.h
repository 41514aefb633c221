#pragma once
// The presence service: the directory, the program's commands and the web
// pages, behind one Handle call that any HTTP front end can drive.
//
// Commands always answer in the forms the program reads (an XML answer or a
// status line), refusals included, and always with status 200: the program
// never looks at the status code, so an error page would be misread.
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/UdpSocket.h"
#include "server/Answers.h"
#include "server/HttpServer.h"
#include "server/HttpTypes.h"
#include "server/LoginThrottle.h"
#include "server/Passwords.h"
#include "server/Presence.h"
#include "server/RateLimiter.h"
#include "server/Store.h"
#include "server/WorkPool.h"

namespace dialvo::server {

class Form;
class SharedPresence;
class WebSite;

struct ServiceConfig {
  // CURRENT IP of the directory ("host" or "host:port"). Empty: the Host
  // header the directory request came with, else fallbackHost.
  std::string publicHost;
  std::string fallbackHost = "127.0.0.1:8720";
  ScriptNames scripts;
  int64_t keepAliveMs = 45000;       // the program's keep-alive period
  int missedKeepAlives = 3;          // a login expires after this many are missed
  int fwtestBurst = 3;               // tests per source at once ...
  int64_t fwtestIntervalMs = 20000;  // ... then one per interval
  int fwtestDatagrams = 3;           // per test; never more than 3
  // Test datagrams go to loopback, private or link-local addresses only when
  // the service itself listens on such an address, and not behind a proxy.
  uint32_t listenIp = 0x7F000001;
  bool behindProxy = false;
  int registerBurst = 5;  // accounts per source at once, then one per interval
  int64_t registerIntervalMs = 60000;
  size_t maxBuddies = 1000;  // per stored buddy list
  int reportBurst = 20;      // call reports per login at once, then one per interval
  int64_t reportIntervalMs = 5000;
  // Argon2id runs on these threads, never on an HTTP thread; a request that
  // finds the queue full is refused at once.
  unsigned hashThreads = 1;
  size_t hashQueue = 32;
  // Failed password checks, per account and per source address.
  LoginThrottle::Policy accountThrottle{};
  LoginThrottle::Policy sourceThrottle{.freeFailures = 10};
  // On a database shared by several processes: how often at most the logins
  // made through the others are read.
  int64_t sharedRefreshMs = 5000;
};

class Service {
 public:
  // One clock for both wall and steady time (tests).
  Service(Store& store, PasswordChecker& passwords, WallClock clock, ServiceConfig config);
  Service(Store& store, PasswordChecker& passwords, Clocks clocks, ServiceConfig config);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Opens the fwtest socket and takes over the logins the store kept from an
  // earlier run. False, with the reason in error, when that fails.
  bool Start(std::string& error);

  // Thread-safe; never throws. Handle answers on the calling thread, hashing
  // included; HandleAsync hands requests that need Argon2id to the hashing
  // threads and answers them from there.
  HttpResponse Handle(const HttpRequest& request);
  void HandleAsync(const HttpRequest& request, const Responder& respond);

  // Drops expired logins (from memory and store) and stale rate-limit
  // entries. Run periodically; answers never depend on it.
  void Sweep();

  const ServiceConfig& Config() const { return config_; }
  int64_t LifetimeMs() const { return config_.keepAliveMs * config_.missedKeepAlives; }
  // How often at most a login's keep-alive time is written to the store.
  int64_t PersistEveryMs() const { return config_.keepAliveMs / 3; }

  // The answer form of each command, used for its refusals too.
  enum class AnswerKind { kLogin, kStatus, kKeepalive, kUserList, kFwtest };

 private:
  // nullopt when the user and password are good, else the refusal in the
  // command's answer form.
  std::optional<HttpResponse> Authenticate(const Form& form, const HttpRequest& request,
                                           AnswerKind kind, UserRecord& user);
  // True when answering may run Argon2id; kind is then the answer form of a
  // refusal (nullopt for a web page).
  bool NeedsHashing(const HttpRequest& request, std::optional<AnswerKind>& kind);
  Published ReadPublished(const Form& form, const HttpRequest& request) const;
  std::string CurrentIp(const HttpRequest& request) const;

  HttpResponse Directory(const HttpRequest& request);
  // nullopt when the script is not one of ours.
  std::optional<HttpResponse> Command(std::string_view script, const HttpRequest& request);
  HttpResponse Logmein(const HttpRequest& request, const Form& form);
  HttpResponse Logmeoff(const HttpRequest& request, const Form& form);
  HttpResponse Iamup(const HttpRequest& request, const Form& form);
  HttpResponse Syncblist(const HttpRequest& request, const Form& form);
  HttpResponse Getuserlist(const HttpRequest& request, const Form& form);
  HttpResponse Iamtalking(const HttpRequest& request, const Form& form);
  HttpResponse Fwtest(const HttpRequest& request, const Form& form);

  Store& store_;
  PasswordChecker& passwords_;
  const Clocks clocks_;
  const WallClock clock_;  // clocks_.steady
  const ServiceConfig config_;
  Presence presence_;
  std::unique_ptr<SharedPresence> shared_;  // null: this process alone
  RateLimiter fwtestLimiter_;
  RateLimiter reportLimiter_;  // by user id
  LoginThrottle accountThrottle_;
  LoginThrottle sourceThrottle_;
  // Guards fwtestSocket_ (its error state); taken by request threads sending
  // test datagrams.
  std::mutex fwtestMutex_;
  UdpSocket fwtestSocket_;
  std::unique_ptr<WebSite> web_;
  WorkPool hashing_;  // last: its queued jobs still use the members above
};

}  // namespace dialvo::server
