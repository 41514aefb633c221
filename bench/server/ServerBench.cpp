// Helpers for bench/server/run:
//   server_bench seed DB USERS      registers u0 .. u<USERS-1>, password "bench-pass";
//                                   DB is a file or a postgresql:// URL
//   server_bench cost [URL]         in-process cost of iamup and getuserlist by
//                                   registered users and buddies asked for, on
//                                   SQLite or on the PostgreSQL database at URL
#include <libpq-fe.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "server/Passwords.h"
#include "server/PgStore.h"
#include "server/Service.h"
#include "server/SqliteStore.h"

namespace {

using namespace dialvo;
using namespace dialvo::server;

constexpr const char* kPassword = "bench-pass";

bool RunSql(const std::string& url, const std::string& sql) {
  PGconn* conn = PQconnectdb(url.c_str());
  PGresult* result = PQexec(conn, sql.c_str());
  const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
  if (!ok) std::fprintf(stderr, "server_bench: %s", PQerrorMessage(conn));
  PQclear(result);
  PQfinish(conn);
  return ok;
}

// All users share one hash: hashing 100k passwords with Argon2id would take
// hours and measures nothing here.
bool Seed(Store& store, const std::string& db, int users) {
  PasswordChecker passwords(HashCost::Interactive(), 1);
  std::string hash;
  if (!passwords.Hash(kPassword, hash)) return false;
  if (IsPostgresUrl(db)) {  // one statement rather than a round trip per user
    return RunSql(db,
                  "INSERT INTO users(name, name_key, password_hash, created_ms) SELECT 'u' || g,"
                  " 'u' || g, '" +
                      hash + "', 0 FROM generate_series(0, " + std::to_string(users - 1) + ") g");
  }
  for (int i = 0; i < users; ++i) {
    std::string name = "u";
    name += std::to_string(i);
    if (store.AddUser(name, hash, 0) != StoreStatus::kOk) return false;
  }
  return true;
}

std::string LoginBody(int user) {
  return "user=u" + std::to_string(user) + "&Pass=" + kPassword +
         "&ListeningPort=1720&InstanceGUID=guid-" + std::to_string(user) +
         "&IPAddr=&IPType=1&Version=5";
}

HttpRequest Request(const std::string& script, std::string body) {
  HttpRequest request;
  request.method = "POST";
  request.path = "/dialvo\\" + script;
  request.body = std::move(body);
  request.sourceIp = 0x7F000001;
  return request;
}

// Microseconds per call of fn, over enough calls to last about 0.3 s.
template <typename Fn>
double MicrosPerCall(Fn&& fn) {
  using Clock = std::chrono::steady_clock;
  for (int i = 0; i < 50; ++i) fn();
  int calls = 0;
  const auto start = Clock::now();
  auto elapsed = Clock::duration::zero();
  do {
    for (int i = 0; i < 100; ++i) fn();
    calls += 100;
    elapsed = Clock::now() - start;
  } while (elapsed < std::chrono::milliseconds(300));
  return std::chrono::duration<double, std::micro>(elapsed).count() / calls;
}

std::unique_ptr<Store> Open(const std::string& db, std::string& error, const WallClock& clock) {
  if (!IsPostgresUrl(db)) return SqliteStore::Open(db, error);
  PgStoreOptions options;
  options.clockMs = clock;
  return PgStore::Open(db, error, options);
}

int Cost(const std::string& url) {
  std::printf("%-10s %-28s %12s\n", "users", "request", "us/request");
  for (int users : {1000, 10000, 100000}) {
    const std::string name =
        "dialvo-bench-" + std::to_string(::getpid()) + "-" + std::to_string(users);
    const auto dir = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(dir);
    // On PostgreSQL, a schema of its own for each size.
    std::string db = (dir / "bench.db").string();
    if (!url.empty()) {
      const std::string schema =
          "bench_" + std::to_string(::getpid()) + "_" + std::to_string(users);
      if (!RunSql(url, "CREATE SCHEMA " + schema)) return 1;
      db = url;
      db += url.find('?') == std::string::npos ? "?" : "&";
      db += "options=-c%20search_path%3D" + schema;
    }
    int64_t now = 1'700'000'000'000;
    std::string error;
    auto store = Open(db, error, [&now] { return now; });
    if (!store || !Seed(*store, db, users)) {
      std::fprintf(stderr, "server_bench: cannot seed: %s\n", error.c_str());
      return 1;
    }
    PasswordChecker passwords(HashCost::Interactive(), 2);
    Service service(
        *store, passwords, [&now] { return now; }, ServiceConfig{});
    if (!service.Start(error)) return 1;
    // 1000 users log in: the buddies asked for are all online.
    for (int i = 0; i < 1000; ++i) service.Handle(Request("logmein.asp", LoginBody(i)));

    const std::string iamup = LoginBody(0);
    std::printf("%-10d %-28s %12.2f\n", users, "iamup",
                MicrosPerCall([&] { service.Handle(Request("iamup.asp", iamup)); }));
    int next = 0;
    std::printf("%-10d %-28s %12.2f\n", users, "iamup, keep-alive saved", MicrosPerCall([&] {
                  // Each user's keep-alive 45 s after its last one, as in real use.
                  now += 45;
                  service.Handle(Request("iamup.asp", LoginBody(next)));
                  next = (next + 1) % 1000;
                }));
    for (int buddies : {10, 100, 1000}) {
      std::string body = "User=u0&Pass=" + std::string(kPassword);
      for (int b = 1; b <= buddies; ++b) body += "&buddy=u" + std::to_string(b % 1000);
      body += "&Version=5";
      const std::string label = "getuserlist, " + std::to_string(buddies) + " buddies";
      std::printf("%-10d %-28s %12.2f\n", users, label.c_str(),
                  MicrosPerCall([&] { service.Handle(Request("getuserlist.asp", body)); }));
    }
    std::fflush(stdout);
    store.reset();
    std::filesystem::remove_all(dir);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "seed") {
    std::string error;
    auto store = Open(args[1], error, SystemWallClock());
    if (!store || !Seed(*store, args[1], std::atoi(args[2].c_str()))) {
      std::fprintf(stderr, "server_bench: cannot seed %s %s\n", args[1].c_str(), error.c_str());
      return 1;
    }
    return 0;
  }
  if ((args.size() == 1 || args.size() == 2) && args[0] == "cost") {
    return Cost(args.size() == 2 ? args[1] : std::string());
  }
  std::fprintf(stderr, "usage: server_bench seed DB USERS | server_bench cost [URL]\n");
  return 2;
}
