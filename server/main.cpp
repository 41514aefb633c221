// dialvo-server: the presence service, and its account commands.
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/Version.h"
#include "server/Accounts.h"
#include "server/BatchedLog.h"
#include "server/HttpServer.h"
#include "server/Options.h"
#include "server/PgStore.h"
#include "server/Service.h"
#include "server/SqliteStore.h"

namespace {

using namespace dialvo;
using namespace dialvo::server;

bool ReadPem(const std::string& path, const char* what, std::string& text, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  if (!in || content.str().find("-----BEGIN ") == std::string::npos) {
    error = std::string("cannot read the TLS ") + what + " " + path +
            (in ? ": not a PEM file" : std::string(": ") + std::strerror(errno));
    return false;
  }
  text = content.str();
  return true;
}

// mkdir -p for the folders above a file, private to the user.
bool MakeParents(const std::string& file, std::string& error) {
  for (size_t slash = file.find('/', 1); slash != std::string::npos;
       slash = file.find('/', slash + 1)) {
    const std::string dir = file.substr(0, slash);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      error = "cannot create " + dir + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

// The first line of standard input; at a terminal, asked for without echo.
bool ReadPassword(const std::string& name, std::string& password) {
  termios saved{};
  const bool terminal = isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    std::fprintf(stderr, "Password for %s: ", name.c_str());
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  const bool read = static_cast<bool>(std::getline(std::cin, password));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::fputc('\n', stderr);
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return read;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "dialvo-server: %s\n", message.c_str());
  return 1;
}

int UserCommand(const Options& options, Store& store) {
  switch (options.action) {
    case Options::Action::kUserAdd: {
      std::string password = options.password;
      if (password.empty() && !ReadPassword(options.name, password)) {
        return Fail("no password given (argument or first line of standard input)");
      }
      PasswordChecker passwords(HashCost::Interactive(), 1);
      const AccountResult result =
          CreateAccount(store, passwords, options.name, password, SystemWallClock()());
      if (!result.ok) return Fail(result.message);
      std::printf("%s\n", result.message.c_str());
      return 0;
    }
    case Options::Action::kUserDel:
      switch (store.DeleteUser(options.name)) {
        case StoreStatus::kOk:
          std::printf("The account %s was removed.\n", options.name.c_str());
          return 0;
        case StoreStatus::kNotFound:
          return Fail("there is no user " + options.name);
        default:
          return Fail("the account could not be removed");
      }
    default: {
      std::vector<std::string> names;
      if (store.ListUsers(names) != StoreStatus::kOk) return Fail("cannot read the accounts");
      for (const auto& name : names) std::printf("%s\n", name.c_str());
      return 0;
    }
  }
}

// Rate limits and failed-login counts are kept by each process: asking the
// database before every keep-alive would cost more than the limits save. A
// round-robin proxy spreads each client's requests evenly, so each of n
// processes allows 1/n of every budget and the whole service what one would.
void ShareLimits(ServiceConfig& config, unsigned processes) {
  const int n = static_cast<int>(processes);
  const auto part = [n](int budget) { return std::max(1, budget / n); };
  config.fwtestBurst = part(config.fwtestBurst);
  config.fwtestIntervalMs *= n;
  config.registerBurst = part(config.registerBurst);
  config.registerIntervalMs *= n;
  config.reportBurst = part(config.reportBurst);
  config.reportIntervalMs *= n;
  for (auto* throttle : {&config.accountThrottle, &config.sourceThrottle}) {
    throttle->freeFailures = part(throttle->freeFailures);
    throttle->baseMs *= n;
  }
}

int Serve(const Options& options, Store& store) {
  // The signals are taken synchronously by this thread; every thread started
  // from here on inherits the mask.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  ServiceConfig config;
  // One core stays free for the HTTP threads while a guessing flood keeps
  // the hashing threads busy.
  config.hashThreads = std::max(1u, cores - 1);
  PasswordChecker passwords(HashCost::Interactive(), static_cast<int>(config.hashThreads));
  config.publicHost = options.publicHost;
  config.fallbackHost = HostForClients(options.listen);
  config.keepAliveMs = options.keepAliveS * 1000;
  config.listenIp = options.listen.ip;
  config.behindProxy = options.trustedProxy != 0;
  ShareLimits(config, options.processes);
  Service service(store, passwords, SystemClocks(), config);
  std::string error;
  if (!service.Start(error)) return Fail(error);

  HttpServerOptions http;
  http.listen = options.listen;
  http.threads = options.threads;
  http.trustedProxy = options.trustedProxy;
  http.perSourceConnectionLimit = options.perAddress;
  if (!options.tlsCert.empty() &&
      (!ReadPem(options.tlsCert, "certificate", http.tlsCertPem, error) ||
       !ReadPem(options.tlsKey, "key", http.tlsKeyPem, error))) {
    return Fail(error);
  }
  auto log = std::make_unique<BatchedLog>(STDERR_FILENO);
  auto server = HttpServer::Start(
      http,
      [&service](const HttpRequest& request, const Responder& respond) {
        service.HandleAsync(request, respond);
      },
      log->Sink(), error);
  if (!server) return Fail(error);
  std::fprintf(
      stderr, "dialvo-server: serving on %s%s, directory host %s\n",
      server->Address().ToString().c_str(), options.tlsCert.empty() ? "" : " over HTTPS",
      options.publicHost.empty() ? "as each request addressed it" : options.publicHost.c_str());

  // Sweep three times per keep-alive period until told to stop.
  const int64_t sweepMs = std::max<int64_t>(1000, options.keepAliveS * 1000 / 3);
  const timespec period{static_cast<time_t>(sweepMs / 1000),
                        static_cast<long>(sweepMs % 1000) * 1000000L};
  for (;;) {
    const int signal = sigtimedwait(&stop, nullptr, &period);
    if (signal == SIGINT || signal == SIGTERM) break;
    service.Sweep();
  }
  server.reset();
  log.reset();  // the last request lines before the last word
  std::fprintf(stderr, "dialvo-server: stopped\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::fprintf(stderr, "dialvo-server: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (options.action == Options::Action::kHelp) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options.action == Options::Action::kVersion) {
    std::printf("dialvo-server %s\n", dialvo::kDialvoVersion);
    return 0;
  }
  const std::string db = options.db.empty() ? DefaultDatabasePath() : options.db;
  std::unique_ptr<Store> store;
  if (IsPostgresUrl(db)) {
    store = PgStore::Open(db, error);
  } else if (MakeParents(db, error)) {
    store = SqliteStore::Open(db, error);
  }
  if (!store) return Fail(error);
  if (options.action == Options::Action::kServe) {
    // A URL may carry a password: name the kind of database only.
    std::fprintf(stderr, "dialvo-server: database %s\n",
                 IsPostgresUrl(db) ? "PostgreSQL" : db.c_str());
    return Serve(options, *store);
  }
  return UserCommand(options, *store);
}
