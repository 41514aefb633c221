// Helpers for bench/server/run:
//   server_bench seed DB USERS      registers u0 .. u<USERS-1>, password "bench-pass"
//   server_bench cost               in-process cost of iamup and getuserlist by
//                                   registered users and buddies asked for
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "server/Passwords.h"
#include "server/Service.h"
#include "server/SqliteStore.h"

namespace {

using namespace dialvo;
using namespace dialvo::server;

constexpr const char* kPassword = "bench-pass";

// All users share one hash: hashing 100k passwords with Argon2id would take
// hours and measures nothing here.
bool Seed(SqliteStore& store, int users) {
  PasswordChecker passwords(HashCost::Interactive(), 1);
  std::string hash;
  if (!passwords.Hash(kPassword, hash)) return false;
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

int Cost() {
  std::printf("%-10s %-28s %12s\n", "users", "request", "us/request");
  for (int users : {1000, 10000, 100000}) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("dialvo-bench-" + std::to_string(::getpid()) + "-" + std::to_string(users));
    std::filesystem::create_directories(dir);
    std::string error;
    auto store = SqliteStore::Open((dir / "bench.db").string(), error);
    if (!store || !Seed(*store, users)) {
      std::fprintf(stderr, "server_bench: cannot seed: %s\n", error.c_str());
      return 1;
    }
    PasswordChecker passwords(HashCost::Interactive(), 2);
    int64_t now = 1'700'000'000'000;
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
    auto store = SqliteStore::Open(args[1], error);
    if (!store || !Seed(*store, std::atoi(args[2].c_str()))) {
      std::fprintf(stderr, "server_bench: cannot seed %s %s\n", args[1].c_str(), error.c_str());
      return 1;
    }
    return 0;
  }
  if (args.size() == 1 && args[0] == "cost") return Cost();
  std::fprintf(stderr, "usage: server_bench seed DB USERS | server_bench cost\n");
  return 2;
}
