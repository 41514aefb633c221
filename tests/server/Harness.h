#pragma once
// A presence service on a loopback port with a temporary database and a
// hand-moved clock, and a libcurl client to talk to it.
//
// Every test runs on SQLite, and again on PostgreSQL when
// DIALVO_TEST_POSTGRES names a file holding the URL of a test cluster
// (scripts/postgres-test; ctest registers that second run).
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/HttpServer.h"
#include "server/Passwords.h"
#include "server/Service.h"
#include "server/SqliteStore.h"
#include "tests/support/ScratchDir.h"

namespace dialvo::server::test {

using dialvo::test::ScratchDir;

struct Reply {
  long status = 0;  // 0: no answer at all
  std::string body;
  std::string headers;  // as received
};

// requestTarget goes on the request line as it stands ("dialvo\iamup.asp").
// With caFile, over https, trusting the certificates in that file.
Reply Post(uint16_t port, const std::string& requestTarget, const std::string& body,
           const std::vector<std::string>& headers = {}, const std::string& caFile = "");
Reply Get(uint16_t port, const std::string& requestTarget,
          const std::vector<std::string>& headers = {});

// True in the PostgreSQL run.
bool UsingPostgres();
// A database of the test's own: sqlitePath as it is, or a fresh schema in
// the PostgreSQL cluster (a URL that dialvo-server --db takes too).
std::string TestDatabase(const std::string& sqlitePath);
// Runs SQL on a TestDatabase() directly; false when that fails.
bool RunSql(const std::string& database, const std::string& sql);

struct TestStoreOptions {
  int64_t userCacheMs = 2000;
  WallClock clockMs;  // empty: the system clock
  // The database's clock, for tests that move their own.
  std::function<int64_t()> databaseClockMs;
};
std::unique_ptr<Store> OpenTestStore(const std::string& database, std::string& error,
                                     const TestStoreOptions& options = {});

constexpr const char* kGuidA = "0a1b2c3d-0000-4000-8000-00000000000a";
constexpr const char* kGuidB = "0a1b2c3d-0000-4000-8000-00000000000b";

// bob's logmein and iamup body: password secret-b, kGuidA, IPType 1.
extern const std::string kBobLogin;

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}
// What follows `before` in text up to `end`; empty without `before`.
std::string Between(const std::string& text, const std::string& before, char end);
// A POST to /dialvo/<script> as if sent from `source`, answered on this thread.
std::string Ask(Service& service, uint32_t source, const std::string& script,
                const std::string& body);

// A login as the presence table and the store hold it.
inline LoginRecord MakeLogin(const std::string& name, const std::string& guid, int64_t nowMs,
                             const std::string& address = "62.10.20.30") {
  LoginRecord login;
  login.userId = static_cast<int64_t>(name.size());
  login.userName = name;
  login.instanceGuid = guid;
  login.address = address;
  login.version = 5;
  login.sourceIp = "127.0.0.1";
  login.startedMs = nowMs;
  login.lastSeenMs = nowMs;
  return login;
}

class Harness {
 public:
  // database: TestDatabase() of another harness to share it, as two service
  // processes do; empty: a new one.
  explicit Harness(ServiceConfig config = {}, HttpServerOptions http = TestHttp(),
                   std::string database = {});
  // Loopback, an ephemeral port, two threads, a 16 KiB body cap.
  static HttpServerOptions TestHttp();
  ~Harness();

  // Starts the service and its HTTP front end on the database in Dir().
  void Start();
  // Stops them; the database stays.
  void Stop();

  void AddUser(const std::string& name, const std::string& password);
  // POSTs to /dialvo/<script>.
  std::string Command(const std::string& script, const std::string& body);
  // Posts a web form as a browser would: it opens /app_links/<page> first
  // for the form cookie and token, then posts fields with them.
  // postTo: the port of the service to post to (0: this one).
  Reply PostForm(const std::string& page, const std::string& fields,
                 std::vector<std::string> headers = {}, uint16_t postTo = 0);
  // logmein or iamup body for IPType 0 with the given address.
  static std::string LoginBody(const std::string& user, const std::string& password,
                               const std::string& guid, const std::string& ipAddr = "",
                               int ipType = 1, int port = 1720);

  // Time passing moves both clocks; setting the system clock moves only the
  // wall clock.
  void Advance(int64_t ms) { now_ += ms; }
  void SetWallClockBy(int64_t ms) { wallOffset_ += ms; }
  uint16_t Port() const { return http_->Address().port; }
  Service& GetService() { return *service_; }
  Store& GetStore() { return *store_; }
  PasswordChecker& Passwords() { return passwords_; }
  std::vector<std::string> LogLines();
  const std::string& Dir() const { return dir_.Path(); }
  const std::string& Database() const { return database_; }

 private:
  ScratchDir dir_;
  ServiceConfig config_;
  HttpServerOptions httpOptions_;
  static constexpr int64_t kStartMs = 1'700'000'000'000;
  std::string database_;
  std::atomic<int64_t> now_{kStartMs};
  std::atomic<int64_t> wallOffset_{0};
  PasswordChecker passwords_{HashCost::Minimal(), 2};
  std::unique_ptr<Store> store_;
  std::unique_ptr<Service> service_;
  std::unique_ptr<HttpServer> http_;
  std::mutex logMutex_;  // guards log_; taken by HTTP threads and the test
  std::vector<std::string> log_;
};

}  // namespace dialvo::server::test
