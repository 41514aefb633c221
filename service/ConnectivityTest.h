#pragma once
// Whether others can reach this PC on its UDP listening port: the service is
// asked to send test datagrams to the address it should be reachable at, and
// they are awaited on the listening port itself. Two modes, chosen by the
// connection type: reachability (directly on the internet) and port forward
// (behind a firewall, router or NAT). No user interface here: the dialog and
// dialvo-cli show the log lines and the result box.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/UdpSocket.h"
#include "service/LocalAddress.h"
#include "service/ServiceClient.h"
#include "settings/Settings.h"
#include "settings/SettingsStore.h"

namespace dialvo {

// The progress of a run, as the dialog shows it.
enum class ConnectivityState : int {
  kLocating = 0,      // asking the directory where the service lives
  kRequesting = 1,    // run started, or the request is being sent
  kUnreachable = 2,   // the service cannot be reached
  kServiceError = 3,  // the service answered with an error
  kSent = 4,          // the service has sent its datagrams
  kBusy = 5,          // the answer cannot be read: the service is taken to be busy
  kWaiting = 6        // waiting for the test datagram
};
enum class ConnectivityMode { kReachability, kPortForward };

// nullopt: the connection type has no test (3, 4 and unknown values).
std::optional<ConnectivityMode> ConnectivityModeFor(const NetworkSettings& s);

// The dialog's fixed texts; line breaks are "\r\n".
std::string ConnectivityConnectionLine(const NetworkSettings& s);  // empty for types without test
std::string ConnectivityProxyLine(const NetworkSettings& s);
std::string ConnectivityTitle(ConnectivityMode m);
std::string ConnectivityDescription(ConnectivityMode m, uint32_t port);
extern const char* const kConnectivityNoTestText;      // connection types 3 and 4
extern const char* const kConnectivityDuringCallText;  // the test needs the listening port
// The bytes the service is asked to send; nothing else counts as its datagram.
inline constexpr const char* kConnectivityTestMessage = "Congratulations";

struct ConnectivityOptions {
  ServiceClientOptions client;  // directory host, time limits, cache dir
  std::function<std::vector<std::string>()> hostAddresses = HostAddresses;  // for GetLocalAddress
  uint32_t connectTimeoutMs = 20000;                                        // GetLocalAddress's
  std::string bindAddress = "0.0.0.0";  // the test socket's local address
  // The datagram wait: waitRounds * waitStepMs in all, Cancel seen each step.
  uint32_t waitRounds = 50;
  uint32_t waitStepMs = 100;
  std::string supportEmail;  // empty: the SupportEmail setting
  std::string webHost;       // for the third unreachable line; empty: the directory host in use
};

struct ConnectivityResult {
  ConnectivityState state = ConnectivityState::kRequesting;  // the last state reached
  bool reached = false;                                      // the service's datagram arrived
  bool cancelled = false;                                    // Cancel ended the run
  // What to show in a message box at the end: the datagram's text (reached,
  // information icon), "Test Failed" (error icon), or why the listening port
  // could not be taken (error icon). An empty title is the program's own.
  enum class Box { kNone, kReached, kFailed, kSocketError } box = Box::kNone;
  std::string boxTitle;
  std::string boxText;  // "\r\n" line breaks
};

class ConnectivityTest {
 public:
  // Called from Run's thread and from Cancel's caller, perhaps at once; the
  // call from Cancel holds the test's lock, so the function must not Cancel.
  using LogFn = std::function<void(const std::string& line)>;

  ConnectivityTest(const SettingsStore& store, ConnectivityOptions options = {});
  ~ConnectivityTest();
  ConnectivityTest(const ConnectivityTest&) = delete;
  ConnectivityTest& operator=(const ConnectivityTest&) = delete;

  // Blocks: binds the UDP test socket on settings.EffectiveListeningPort()
  // (the caller has freed the port), asks the service for its datagrams,
  // waits for one, closes the socket and returns what to show. One Run at a
  // time. Never exits the process: the caller listens again afterwards.
  ConnectivityResult Run(const NetworkSettings& settings, const LogFn& log);

  // Any thread, at any time, and final like the HTTP client's Abort (a
  // dialog makes one object per run). A Run in progress logs "Attempting to
  // cancel..." through its log function and ends soon (the HTTP request in
  // progress and the datagram wait are cut short), then logs "Cancelled by
  // the user". A Run that starts later logs both lines and ends at once,
  // before it binds or sends anything.
  void Cancel();

 private:
  bool Cancelled() const;
  // Asks the service for the datagrams; the state it ends in.
  ConnectivityState RunExchange(const NetworkSettings& s, CServiceClient& client,
                                const LogFn& log) const;
  void LogUnreachable(const CServiceClient& client, const LogFn& log) const;
  // Waits for the service's datagram; its text when it came.
  std::optional<std::string> AwaitDatagram(UdpSocket& socket) const;

  const SettingsStore& store_;
  const ConnectivityOptions options_;

  mutable std::mutex mutex_;  // guards the members below; Run's thread and Cancel's callers
  bool running_ = false;
  bool cancelled_ = false;
  LogFn runLog_;                      // the log of the run in progress
  CServiceClient* client_ = nullptr;  // the run's, while it lasts
};

}  // namespace dialvo
