#include "tests/server/Harness.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <fstream>

#include "server/Accounts.h"
#include "server/PgStore.h"
#include "server/Text.h"

namespace dialvo::server::test {

namespace {

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

Reply Perform(uint16_t port, const std::string& requestTarget, const std::string* body,
              const std::vector<std::string>& extraHeaders = {}, const std::string& caFile = "") {
  Reply reply;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return reply;
  const std::string url = (caFile.empty() ? "http" : "https") + std::string("://127.0.0.1:") +
                          std::to_string(port) + "/";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  if (!caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(curl, CURLOPT_REQUEST_TARGET, requestTarget.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Collect);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  curl_slist* headers = nullptr;
  for (const auto& header : extraHeaders) headers = curl_slist_append(headers, header.c_str());
  if (!extraHeaders.empty()) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  if (body != nullptr) {
    // The one header the program adds.
    headers = curl_slist_append(headers, "Content-Type: application/x-www-form-urlencoded");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
  }
  if (curl_easy_perform(curl) == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return reply;
}

// The cluster's URL, read once; empty in the SQLite run.
const std::string& PostgresUrl() {
  static const std::string url = [] {
    const char* file = std::getenv("DIALVO_TEST_POSTGRES");
    if (file == nullptr || file[0] == '\0') return std::string();
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    // A run meant for PostgreSQL must not quietly test SQLite instead.
    if (!IsPostgresUrl(line)) {
      ADD_FAILURE() << "DIALVO_TEST_POSTGRES=" << file
                    << " holds no PostgreSQL URL: is the test cluster running?";
      std::abort();
    }
    return line;
  }();
  return url;
}

}  // namespace

bool UsingPostgres() { return !PostgresUrl().empty(); }

std::string TestDatabase(const std::string& sqlitePath) {
  if (!UsingPostgres()) return sqlitePath;
  const std::string schema = "t_" + AsciiLower(RandomToken(8));
  if (!RunSql(PostgresUrl(), "CREATE SCHEMA " + schema)) {
    ADD_FAILURE() << "cannot create a schema in " << PostgresUrl();
  }
  return PostgresUrl() + "&options=-c%20search_path%3D" + schema;
}

bool RunSql(const std::string& database, const std::string& sql) {
  if (!IsPostgresUrl(database)) {
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open(database.c_str(), &db) == SQLITE_OK &&
                    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
  }
  PGconn* conn = PQconnectdb(database.c_str());
  PGresult* result = PQexec(conn, sql.c_str());
  const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
  PQclear(result);
  PQfinish(conn);
  return ok;
}

std::unique_ptr<Store> OpenTestStore(const std::string& database, std::string& error,
                                     const TestStoreOptions& options) {
  if (IsPostgresUrl(database)) {
    PgStoreOptions pg;
    pg.userCacheMs = options.userCacheMs;
    pg.clockMs = options.clockMs;
    pg.databaseClockMs = options.databaseClockMs;
    return PgStore::Open(database, error, pg);
  }
  SqliteStoreOptions sqlite;
  sqlite.userCacheMs = options.userCacheMs;
  sqlite.clockMs = options.clockMs;
  return SqliteStore::Open(database, error, sqlite);
}

Reply Post(uint16_t port, const std::string& requestTarget, const std::string& body,
           const std::vector<std::string>& headers, const std::string& caFile) {
  return Perform(port, requestTarget, &body, headers, caFile);
}

Reply Get(uint16_t port, const std::string& requestTarget,
          const std::vector<std::string>& headers) {
  return Perform(port, requestTarget, nullptr, headers);
}

const std::string kBobLogin = Harness::LoginBody("bob", "secret-b", kGuidA);

std::string Between(const std::string& text, const std::string& before, char end) {
  const size_t start = text.find(before);
  if (start == std::string::npos) return std::string();
  const size_t from = start + before.size();
  return text.substr(from, text.find(end, from) - from);
}

std::string Ask(Service& service, uint32_t source, const std::string& script,
                const std::string& body) {
  HttpRequest request;
  request.method = "POST";
  request.path = "/dialvo/" + script;
  request.body = body;
  request.sourceIp = source;
  return service.Handle(request).body;
}

Reply Harness::PostForm(const std::string& page, const std::string& fields,
                        std::vector<std::string> headers, uint16_t postTo) {
  const Reply form = Get(Port(), "/app_links/" + page);
  headers.push_back("Cookie: dialvo_form=" + Between(form.headers, "dialvo_form=", ';'));
  const std::string token = Between(form.body, "name=\"form_token\" value=\"", '"');
  return Post(postTo != 0 ? postTo : Port(), "/app_links/" + page, fields + "&form_token=" + token,
              headers);
}

HttpServerOptions Harness::TestHttp() {
  HttpServerOptions options;
  options.listen = SockAddr::Loopback(0);
  options.threads = 2;
  options.bodyCap = size_t{16} * 1024;
  return options;
}

Harness::Harness(ServiceConfig config, HttpServerOptions http, std::string database)
    : config_(std::move(config)), httpOptions_(std::move(http)), database_(std::move(database)) {
  if (database_.empty()) database_ = TestDatabase(dir_.Path() + "/service.db");
  Start();
}

Harness::~Harness() { Stop(); }

void Harness::Start() {
  std::string error;
  TestStoreOptions options;
  // The store works in wall time; the database server's own clock is not
  // the one a test sets.
  options.clockMs = [this] { return now_.load() + wallOffset_.load(); };
  options.databaseClockMs = [this] { return now_.load(); };
  store_ = OpenTestStore(database_, error, options);
  ASSERT_TRUE(store_) << error;
  service_ = std::make_unique<Service>(
      *store_, passwords_,
      Clocks{[this] { return now_.load() + wallOffset_.load(); }, [this] { return now_.load(); }},
      config_);
  ASSERT_TRUE(service_->Start(error)) << error;
  http_ = HttpServer::Start(
      httpOptions_,
      [this](const HttpRequest& request, const Responder& respond) {
        service_->HandleAsync(request, respond);
      },
      [this](std::string_view line) {
        std::lock_guard lock(logMutex_);
        log_.emplace_back(line);
      },
      error);
  ASSERT_TRUE(http_) << error;
}

void Harness::Stop() {
  http_.reset();
  service_.reset();
  store_.reset();
}

void Harness::AddUser(const std::string& name, const std::string& password) {
  ASSERT_TRUE(CreateAccount(*store_, passwords_, name, password, now_).ok) << name;
}

std::string Harness::Command(const std::string& script, const std::string& body) {
  const Reply reply = Post(Port(), "/dialvo/" + script, body);
  EXPECT_EQ(reply.status, 200) << script;
  return reply.body;
}

std::string Harness::LoginBody(const std::string& user, const std::string& password,
                               const std::string& guid, const std::string& ipAddr, int ipType,
                               int port) {
  return "user=" + user + "&Pass=" + password + "&ListeningPort=" + std::to_string(port) +
         "&InstanceGUID=" + guid + "&IPAddr=" + ipAddr + "&IPType=" + std::to_string(ipType) +
         "&Version=5";
}

std::vector<std::string> Harness::LogLines() {
  std::lock_guard lock(logMutex_);
  return log_;
}

}  // namespace dialvo::server::test
