#include "cli/ConnectivityCommand.h"

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "service/ConnectivityTest.h"
#include "settings/Settings.h"

namespace dialvo::cli {

namespace {

// The settings the test runs with: the stored ones, with the mode word and
// --port applied.
NetworkSettings SettingsFor(const CliOptions& options, const SettingsStore& store) {
  NetworkSettings net = LoadNetworkSettings(store);
  switch (options.connectivityMode) {
    case ConnectivityWord::kReachability:
      net.ipType = 0;
      break;
    case ConnectivityWord::kPortForward:
      net.ipType = TrimBlanks(net.configuredIp).empty() ? 1 : 2;
      break;
    case ConnectivityWord::kStored:
      break;
  }
  if (options.portGiven) {
    net.useAlternateListeningPort = options.port != kDefaultListeningPort ? 1 : 0;
    net.listeningPort = options.port;
  }
  return net;
}

// Message texts break their lines with "\r\n".
void PrintText(std::FILE* out, std::string_view text) {
  for (;;) {
    const size_t end = text.find("\r\n");
    std::fprintf(out, "%.*s\n", static_cast<int>(text.substr(0, end).size()), text.data());
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 2);
  }
}

}  // namespace

int RunConnectivityCommand(const CliOptions& options, const std::atomic<bool>& stop,
                           std::FILE* out) {
  const SettingsStore store(options.presence.configDir);
  const NetworkSettings net = SettingsFor(options, store);
  std::mutex mutex;  // one line at a time: the run's thread and Cancel's both print
  const ConnectivityTest::LogFn print = [&](const std::string& line) {
    std::lock_guard lock(mutex);
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
  };
  if (!ConnectivityModeFor(net)) {
    if (net.ipType == 3 || net.ipType == 4) {
      PrintText(out, kConnectivityNoTestText);
    } else {
      std::fprintf(out, "The connection type %u has no connectivity test.\n", net.ipType);
    }
    std::fflush(out);
    return 1;
  }

  ConnectivityOptions testOptions;
  testOptions.client.directoryHost = options.presence.server;
  // Clients with settings of their own keep the directory's answer apart too.
  if (!options.presence.configDir.empty()) {
    testOptions.client.cacheDirectory = options.presence.configDir;
  }
  ConnectivityTest test(store, testOptions);
  ConnectivityResult result;
  std::atomic<bool> done{false};
  std::thread runner([&] {
    result = test.Run(net, print);
    done.store(true);
  });
  bool cancelled = false;
  while (!done.load()) {
    if (!cancelled && stop.load()) {
      test.Cancel();
      cancelled = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  runner.join();

  // The message the desktop shows in a box (the socket's failure is logged).
  if (result.box == ConnectivityResult::Box::kReached ||
      result.box == ConnectivityResult::Box::kFailed) {
    if (!result.boxTitle.empty()) std::fprintf(out, "%s\n", result.boxTitle.c_str());
    PrintText(out, result.boxText);
    std::fflush(out);
  }
  return result.reached ? 0 : 1;
}

}  // namespace dialvo::cli
