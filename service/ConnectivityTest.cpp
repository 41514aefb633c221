#include "service/ConnectivityTest.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string_view>

#include "base/Trace.h"
#include "service/ServiceAnswers.h"
#include "service/ServiceRequests.h"
#include "service/Text.h"

namespace dialvo {

const char* const kConnectivityNoTestText =
    "You have currently selected the following option in the software's Network Settings\r\n"
    "\"Connected using a firewall that does not allow incoming calls\".\r\n\r\n"
    "You won't be able to test for incoming calls with this configuration.";
const char* const kConnectivityDuringCallText = "You cannot do this test while you are on a call";

namespace {

// The longest datagram read; anything longer is not the service's.
constexpr size_t kMaxDatagram = 1024;

std::string Port(uint32_t port) { return std::to_string(port); }

std::string FailedBoxText(ConnectivityMode mode, uint32_t port) {
  std::string text = "The Test Failed. Please try again.\r\n\r\n";
  if (mode == ConnectivityMode::kPortForward) {
    text += "1. Is the firewall configured to forward UDP packets on port " + Port(port) +
            " to your computer?\r\n";
  } else {
    text +=
        "1. Are you sure that your connection does not involve any firewalls which blocks "
        "incoming calls?\r\n";
  }
  return text +
         "2. Are all personal firewall programs (if any) running in your computer configured "
         "appropriately?\r\n"
         "3. Do you think your ISP is blocking the UDP port " +
         Port(port) + "? If so, change its value (in the Network Settings) and try again.";
}

}  // namespace

std::optional<ConnectivityMode> ConnectivityModeFor(const NetworkSettings& s) {
  switch (s.ipType) {
    case 0:
      return ConnectivityMode::kReachability;
    case 1:
    case 2:
      return ConnectivityMode::kPortForward;
    default:
      return std::nullopt;
  }
}

std::string ConnectivityConnectionLine(const NetworkSettings& s) {
  switch (s.ipType) {
    case 0:
      return "Directly connected to the internet.";
    case 1:
      return "Using a firewall. Detect firewall IP automatically.";
    case 2:
      return "Using the firewall - " + s.configuredIp;
    default:
      return {};
  }
}

std::string ConnectivityProxyLine(const NetworkSettings& s) {
  if (s.useHttpProxy == 0)
    return "You are set to connect directly without any proxies for HTTP requests.";
  return "Using HTTP proxy:" + s.httpProxyName + " port:" + std::to_string(s.httpProxyPort);
}

std::string ConnectivityTitle(ConnectivityMode m) {
  return m == ConnectivityMode::kPortForward ? "Firewall/Router Hardware/NAT  Port Forward Test"
                                             : "Test if your computer is reachable by others";
}

std::string ConnectivityDescription(ConnectivityMode m, uint32_t port) {
  if (m == ConnectivityMode::kPortForward) {
    return "Since your computer is behind a firewall, to receive incoming calls, you have to "
           "configure your firewall/router hardware to forward UDP packets on the listening port "
           "[" +
           Port(port) +
           "] to the internal address of your machine. This test verifies if this has been "
           "configured correctly. Click on the \"Start Test\" button to proceed.\r\n\r\n"
           "For specific instructions on how to forward ports on your router hardware or "
           "software, contact the manufacturer/publisher of your NAT/proxy/firewall/router for "
           "specific instructions or consult their Web site or manual";
  }
  return "This test will verify if your computer is reachable by others. This test will work only "
         "if your computer is directly connected to the internet now.\r\n\r\n"
         "Click on the \"Start Test\" button provided at the bottom to start the test.\r\n\r\n"
         "In case this test fails, you have to make sure that your computer is indeed directly "
         "connected to the internet and if you use any personal firewall software, it is "
         "configured properly.";
}

ConnectivityTest::ConnectivityTest(const SettingsStore& store, ConnectivityOptions options)
    : store_(store), options_(std::move(options)) {}

ConnectivityTest::~ConnectivityTest() = default;

bool ConnectivityTest::Cancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

void ConnectivityTest::Cancel() {
  // Logged under the lock, so that the line comes before the run's last
  // lines or not at all.
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  if (!running_) return;
  runLog_("Attempting to cancel...");
  client_->Abort();
}

void ConnectivityTest::LogUnreachable(const CServiceClient& client, const LogFn& log) const {
  const std::string webHost =
      options_.webHost.empty() ? client.DirectoryHostInUse() : options_.webHost;
  log("Cannot connect to server. Verify the following:");
  log("1. Are you connected to internet?");
  log("2. If you use a HTTP proxy, is it specified correctly?");
  log("3. The site " + webHost + " may be down temporarily");
}

ConnectivityState ConnectivityTest::RunExchange(const NetworkSettings& s, CServiceClient& client,
                                                const LogFn& log) const {
  using State = ConnectivityState;
  const uint32_t port = s.EffectiveListeningPort();
  const bool proxy = s.useHttpProxy != 0;
  log("The network settings that you have configured are as follows:");
  if (s.useAlternateListeningPort != 0) {
    log("You have overridden the default port for listening to incoming connections");
    log("Listening port is " + Port(port));
  } else {
    log("The software is listening at the default UDP port (1720) for incoming connection "
        "requests.");
  }
  if (proxy) {
    log("Use the following HTTP proxy:");
    log("Proxy: " + s.httpProxyName + " Port:" + std::to_string(s.httpProxyPort));
  } else {
    log("There are no HTTP proxies that are being used.");
  }

  // Found in every mode, though only the direct one publishes it.
  LocalAddressProbe probe;
  probe.directoryHost = client.DirectoryHostInUse();
  probe.hostAddresses = options_.hostAddresses;
  probe.connectTimeoutMs = options_.connectTimeoutMs;
  probe.cancelled = [&client] { return client.Aborted(); };
  const std::string local = GetLocalAddress(s, probe);
  if (client.Aborted()) return State::kRequesting;

  std::string body;
  if (s.ipType == 2) {
    body = BuildFwTestBody(port, s.configuredIp, 2);
    log("Behind a firewall/router-hardware/NAT");
    log("Firewall:" + s.configuredIp);
  } else if (s.ipType == 1) {
    // No address: the service takes the one the request comes from.
    body = BuildFwTestBody(port, "", 1);
    log("The computer is connected through a firewall/router-hardware/NAT");
    log(proxy ? "The firewall's IP address will be detected as the visible IP address of the proxy"
              : "Detect firewall IP address automatically.");
  } else {
    log("Your current configuration is: \"Directly Connected to the internet\"");
    log("Checking the IP address of your computer.");
    if (local.empty()) {
      LogUnreachable(client, log);
      return State::kUnreachable;
    }
    if (EqualsNoCase(local, kLanAddress)) {
      log("Your computer is either not connected to internet now or may be behind a firewall.");
      log("Please use the option in the Network Settings for a computer behind firewall if "
          "appropriate.");
      return State::kRequesting;
    }
    log("The current IP address of your computer is detected as:" + local);
    body = BuildFwTestBody(port, local, 0);
  }

  log("-----------------------------STARTING TEST------------------------------------------");
  log("Retrieving server information");
  ServerLocation location;
  if (!client.FetchServerLocation(location)) {
    if (client.Aborted()) return State::kLocating;
    LogUnreachable(client, log);
    return State::kUnreachable;
  }
  log("Requesting server to send test UDP packets to the listening port - (" + Port(port) + ") ");
  std::string answer;
  if (!client.Post(location.currentIp, location.ObjectPath(location.fwtestFile), body, answer)) {
    if (client.Aborted()) return State::kRequesting;
    LogUnreachable(client, log);
    return State::kUnreachable;
  }
  const FwTestAnswer parsed = ParseFwTestAnswer(answer);
  if (!parsed.readable) {
    log("The server is busy now. Please try after some time.");
    return State::kBusy;
  }
  if (parsed.errorCode != 0) {
    log("The following error occurred");
    log(parsed.errDescription);
    return State::kServiceError;
  }
  if (s.ipType == 2) {
    log("The server has sent UDP packets to your firewall-" + s.configuredIp +
        " Port:" + Port(port));
  } else if (s.ipType == 1) {
    log("The IP address of the firewall is " + parsed.ipAddress);
    log("The server has sent UDP packets to - " + parsed.ipAddress + " Port:" + Port(port));
  } else {
    log("The server has sent UDP packets to your machine.[" + local + "] Port:" + Port(port));
  }
  return State::kSent;
}

std::optional<std::string> ConnectivityTest::AwaitDatagram(UdpSocket& socket) const {
  using Clock = std::chrono::steady_clock;
  const auto limit = std::chrono::milliseconds(uint64_t{options_.waitRounds} * options_.waitStepMs);
  const auto start = Clock::now();
  const std::string_view expected = kConnectivityTestMessage;
  std::array<uint8_t, kMaxDatagram> buffer{};
  while (!Cancelled()) {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    if (spent >= limit) return std::nullopt;
    const auto step = static_cast<uint32_t>(
        std::min<uint64_t>(static_cast<uint64_t>((limit - spent).count()), options_.waitStepMs));
    const UdpSocket::Received got = socket.ReceiveFrom(buffer, step);
    if (got.status == UdpSocket::Status::kError) {
      TraceLog("Connectivity test: receiving failed: %s", std::strerror(got.error));
      return std::nullopt;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(buffer.data()), got.size);
    if (got.status == UdpSocket::Status::kOk && bytes == expected) {
      return std::string(bytes.substr(0, bytes.find('\0')));  // shown as text
    }
    if (got.status != UdpSocket::Status::kTimeout) {
      // A caller or a ping on the listening port proves nothing about the
      // address the service was asked to use.
      TraceLog("Connectivity test: ignored a datagram of %zu bytes from %s", got.size,
               got.from.ToString().c_str());
    }
  }
  return std::nullopt;
}

ConnectivityResult ConnectivityTest::Run(const NetworkSettings& settings, const LogFn& log) {
  using State = ConnectivityState;
  using Box = ConnectivityResult::Box;
  ConnectivityResult result;
  const uint32_t port = settings.EffectiveListeningPort();
  const std::optional<ConnectivityMode> mode = ConnectivityModeFor(settings);
  if (!mode) {
    log(settings.ipType <= 4
            ? std::string("You won't be able to test for incoming calls with this configuration.")
            : "The connection type " + std::to_string(settings.ipType) +
                  " is not known: there is no test for it.");
    return result;
  }
  if (port < 1 || port > 65535) {
    log("The listening port " + Port(port) +
        " is not valid: choose a port from 1 to 65535 in the Network Settings.");
    return result;
  }

  CServiceClient client(store_, options_.client);
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) {
      // Cancelled before it started (a dialog closed at once, say).
      log("Attempting to cancel...");
      log("Cancelled by the user");
      result.cancelled = true;
      return result;
    }
    running_ = true;
    runLog_ = log;
    client_ = &client;
  }
  // Ends the run for Cancel; true when it was cancelled.
  const auto endRun = [this] {
    std::lock_guard lock(mutex_);
    running_ = false;
    runLog_ = nullptr;
    client_ = nullptr;
    return cancelled_;
  };

  UdpSocket socket;
  const std::optional<uint32_t> bindIp = ParseIpv4(options_.bindAddress);
  const bool opened = socket.Open();
  if (!opened || !bindIp || !socket.Bind({*bindIp, static_cast<uint16_t>(port)})) {
    const std::string first =
        opened ? "Failed to bind socket. Please restart the software and try again"
               : "Failed to create a socket. Please restart the software";
    const std::string why = "UDP port " + Port(port) + ": " +
                            (bindIp ? std::strerror(socket.LastError())
                                    : "'" + options_.bindAddress + "' is not an IPv4 address");
    log(first);
    log(why);
    result.box = Box::kSocketError;
    result.boxText = first + "\r\n\r\n" + why;
    result.cancelled = endRun();
    if (result.cancelled) log("Cancelled by the user");
    return result;
  }

  result.state = RunExchange(settings, client, log);
  std::optional<std::string> datagram;
  if (result.state == State::kSent && !Cancelled()) {
    result.state = State::kWaiting;
    log("Waiting to receive UDP packets ...");
    datagram = AwaitDatagram(socket);
    result.reached = datagram.has_value();
  }
  socket.Close();
  result.cancelled = endRun();

  if (result.state == State::kWaiting && !result.reached && !result.cancelled) {
    log("Response timed out.. Please try again.");
    log(*mode == ConnectivityMode::kPortForward
            ? "If this fails consistently please check the firewall port forward settings."
            : "If this fails consistently please check if you are running any firewall in your "
              "computer or configured it properly.");
    result.box = Box::kFailed;
    result.boxTitle = "Test Failed";
    result.boxText = FailedBoxText(*mode, port);
    std::string email = options_.supportEmail;
    if (email.empty()) email = TrimBlanks(store_.ReadString(keys::kSupportEmail));
    if (email.empty()) email = kDefaultSupportEmail;
    log("If you need further assistance, please drop in an email at " + email);
  }
  if (result.reached) {
    log("The packet was received successfully");
    log(*mode == ConnectivityMode::kPortForward
            ? "Your port forward settings are working correctly."
            : "Your computer is reachable and can receive incoming calls.");
    result.box = Box::kReached;
    result.boxText = *datagram;
  }
  if (result.cancelled) log("Cancelled by the user");
  return result;
}

}  // namespace dialvo
