// The connectivity test against a real dialvo-server on loopback: the service
// really sends its datagrams, to the address the request came from.
#include "service/ConnectivityTest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "base/UdpSocket.h"
#include "tests/cli/ServerProcess.h"
#include "tests/service/FakeService.h"
#include "tests/service/Tinyproxy.h"
#include "tests/support/LoopbackPorts.h"
#include "tests/support/Wait.h"

namespace dialvo {
namespace {

using Box = ConnectivityResult::Box;
using State = ConnectivityState;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;

// Log lines as a run writes them, from its thread and from Cancel's.
class Log {
 public:
  ConnectivityTest::LogFn Fn() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
      if (auto it = hooks_.find(line); it != hooks_.end()) it->second();
    };
  }
  // Runs action (on the logging thread) when line is logged.
  void On(const std::string& line, std::function<void()> action) {
    hooks_[line] = std::move(action);
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;  // guards lines_; the run's thread, Cancel's caller and the test
  std::vector<std::string> lines_;
  std::map<std::string, std::function<void()>> hooks_;  // set before the run
};

// One client's settings and options; the test socket on a fresh loopback port.
struct Client {
  test::ScratchDir dir;
  SettingsStore store{dir.File("conf")};
  ConnectivityOptions options;
  NetworkSettings net;

  Client(const std::string& directoryHost, uint32_t ipType) {
    options.client.directoryHost = directoryHost;
    options.client.cacheDirectory = dir.File("cache");
    options.client.timeoutSeconds = 5;
    options.hostAddresses = [] { return std::vector<std::string>{}; };
    options.connectTimeoutMs = 2000;
    options.bindAddress = "127.0.0.1";
    options.waitRounds = 10;
    options.waitStepMs = 50;
    net.ipType = ipType;
    net.useAlternateListeningPort = 1;
    net.listeningPort = test::UnusedUdpPort();
  }
  std::string PortText() const { return std::to_string(net.listeningPort); }
  ConnectivityResult Run(Log& log) { return ConnectivityTest(store, options).Run(net, log.Fn()); }
};

TEST(ConnectivityTest, FixedTextsFollowTheConnectionType) {
  NetworkSettings s;
  using Mode = ConnectivityMode;
  const std::optional<Mode> none;
  const std::vector<std::optional<Mode>> modes = {
      Mode::kReachability, Mode::kPortForward, Mode::kPortForward, none, none, none};
  for (uint32_t type = 0; type < modes.size(); ++type) {
    s.ipType = type;
    EXPECT_EQ(ConnectivityModeFor(s), modes[type]) << type;
  }
  s.ipType = 2;
  s.configuredIp = "203.0.113.9";
  EXPECT_EQ(ConnectivityConnectionLine(s), "Using the firewall - 203.0.113.9");
  s.useHttpProxy = 1;
  s.httpProxyName = "proxy.example";
  s.httpProxyPort = 3128;
  EXPECT_EQ(ConnectivityProxyLine(s), "Using HTTP proxy:proxy.example port:3128");
  EXPECT_EQ(ConnectivityTitle(ConnectivityMode::kPortForward),
            "Firewall/Router Hardware/NAT  Port Forward Test");
  EXPECT_THAT(ConnectivityDescription(ConnectivityMode::kPortForward, 5060),
              HasSubstr("on the listening port [5060] to the internal address"));
  EXPECT_THAT(kConnectivityNoTestText, HasSubstr("\".\r\n\r\nYou won't be able to test"));
}

TEST(ConnectivityTest, ServiceDatagramReachesThePcInEachModeUntilTheServiceRateLimits) {
  test::ServerProcess server({}, 45);
  ASSERT_FALSE(server.HostPort().empty());

  // Port forward to a configured address. A stray datagram already waiting
  // on the port does not count; the service's does.
  Client forward(server.HostPort(), 2);
  forward.net.configuredIp = "127.0.0.1";
  ConnectivityTest test(forward.store, forward.options);
  Log log;
  log.On("Retrieving server information", [&] {
    UdpSocket stray;
    const std::vector<uint8_t> ping = {'Z', 'Q', 'W', 0, 1};
    ASSERT_TRUE(stray.Open() && stray.SendTo(ping, SockAddr::Loopback(forward.net.listeningPort)));
  });
  ConnectivityResult r = test.Run(forward.net, log.Fn());
  EXPECT_TRUE(r.reached);
  EXPECT_FALSE(r.cancelled);
  EXPECT_EQ(r.state, State::kWaiting);
  EXPECT_EQ(r.box, Box::kReached);
  EXPECT_EQ(r.boxText, "Congratulations");
  const std::string port = forward.PortText();
  EXPECT_THAT(
      log.Lines(),
      ElementsAre(
          "The network settings that you have configured are as follows:",
          "You have overridden the default port for listening to incoming "
          "connections",
          "Listening port is " + port, "There are no HTTP proxies that are being used.",
          "Behind a firewall/router-hardware/NAT", "Firewall:127.0.0.1",
          "-----------------------------STARTING TEST-----------------------------"
          "-------------",
          "Retrieving server information",
          "Requesting server to send test UDP packets to the listening port - (" + port + ") ",
          "The server has sent UDP packets to your firewall-127.0.0.1 Port:" + port,
          "Waiting to receive UDP packets ...", "The packet was received successfully",
          "Your port forward settings are working correctly."));
  EXPECT_TRUE(server.WaitLog("fwtest"));
  EXPECT_THAT(server.LogLines("fwtest").back(), HasSubstr("to 127.0.0.1:" + port));

  // The same object runs again; port forward with the address detected.
  forward.net.ipType = 1;
  Log again;
  r = test.Run(forward.net, again.Fn());
  EXPECT_TRUE(r.reached);
  EXPECT_THAT(again.Lines(), Contains("The IP address of the firewall is 127.0.0.1"));

  // Directly on the internet with a public address of its own (any 127/8
  // address but 127.0.0.1 counts as public); the service answers the source.
  Client direct(server.HostPort(), 0);
  direct.options.hostAddresses = [] { return std::vector<std::string>{"127.0.0.2"}; };
  Log directLog;
  r = direct.Run(directLog);
  EXPECT_TRUE(r.reached);
  EXPECT_THAT(
      directLog.Lines(),
      IsSupersetOf<std::vector<std::string>>(
          {"The current IP address of your computer is detected as:127.0.0.2",
           "The server has sent UDP packets to your machine.[127.0.0.2] Port:" + direct.PortText(),
           "Your computer is reachable and can receive incoming calls."}));

  // A fourth test from the same address at once: the service refuses it.
  Log refused;
  r = direct.Run(refused);
  EXPECT_FALSE(r.reached);
  EXPECT_EQ(r.state, State::kServiceError);
  EXPECT_EQ(r.box, Box::kNone);
  const auto lines = refused.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "The following error occurred");
  EXPECT_THAT(lines.back(), HasSubstr("Too many tests from your address"));
}

TEST(ConnectivityTest, FailsWhenTheDatagramsGoElsewhereAndCancelEndsTheWait) {
  test::ServerProcess server({}, 45);
  ASSERT_FALSE(server.HostPort().empty());
  // The service sends to 127.0.0.1, where the requests come from; the test
  // socket is on another loopback address.
  Client forward(server.HostPort(), 1);
  forward.options.bindAddress = "127.0.0.9";
  ASSERT_TRUE(forward.store.WriteString(keys::kSupportEmail, "help@example.org"));
  Log log;
  ConnectivityResult r = forward.Run(log);
  EXPECT_FALSE(r.reached);
  EXPECT_FALSE(r.cancelled);
  EXPECT_EQ(r.state, State::kWaiting);
  EXPECT_EQ(r.box, Box::kFailed);
  EXPECT_EQ(r.boxTitle, "Test Failed");
  const std::string port = forward.PortText();
  EXPECT_EQ(r.boxText,
            "The Test Failed. Please try again.\r\n\r\n"
            "1. Is the firewall configured to forward UDP packets on port " +
                port +
                " to your computer?\r\n"
                "2. Are all personal firewall programs (if any) running in your computer "
                "configured appropriately?\r\n"
                "3. Do you think your ISP is blocking the UDP port " +
                port + "? If so, change its value (in the Network Settings) and try again.");
  auto lines = log.Lines();
  EXPECT_THAT(lines, Contains("The IP address of the firewall is 127.0.0.1"));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_THAT(std::vector(lines.end() - 3, lines.end()),
              ElementsAre("Response timed out.. Please try again.",
                          "If this fails consistently please check the firewall port forward "
                          "settings.",
                          "If you need further assistance, please drop in an email at "
                          "help@example.org"));
  EXPECT_TRUE(server.WaitLog("to 127.0.0.1:" + port));

  Client direct(server.HostPort(), 0);
  direct.options.bindAddress = "127.0.0.9";
  direct.options.hostAddresses = [] { return std::vector<std::string>{"127.0.0.3"}; };
  direct.options.supportEmail = "desk@example.org";
  Log directLog;
  r = direct.Run(directLog);
  EXPECT_EQ(r.box, Box::kFailed);
  EXPECT_THAT(r.boxText, HasSubstr("1. Are you sure that your connection does not involve any "
                                   "firewalls which blocks incoming calls?\r\n2. "));
  EXPECT_THAT(directLog.Lines(),
              IsSupersetOf({"If this fails consistently please check if you are running any "
                            "firewall in your computer or configured it properly.",
                            "If you need further assistance, please drop in an email at "
                            "desk@example.org"}));

  // A long wait that Cancel cuts short.
  forward.options.waitRounds = 600;
  ConnectivityTest test(forward.store, forward.options);
  Log cancelled;
  std::thread user;  // Cancel logs too, so it cannot be called from inside the log
  cancelled.On("Waiting to receive UDP packets ...",
               [&] { user = std::thread([&test] { test.Cancel(); }); });
  const auto started = std::chrono::steady_clock::now();
  r = test.Run(forward.net, cancelled.Fn());
  user.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(r.box, Box::kNone);
  lines = cancelled.Lines();
  EXPECT_THAT(std::vector(lines.end() - 3, lines.end()),
              ElementsAre("Waiting to receive UDP packets ...", "Attempting to cancel...",
                          "Cancelled by the user"));
}

TEST(ConnectivityTest, ServiceOutOfReachOrAnsweringBadly) {
  const std::string nobody = "127.0.0.1:" + std::to_string(test::UnusedLoopbackPort());
  const std::vector<std::string> unreachable = {
      "Cannot connect to server. Verify the following:", "1. Are you connected to internet?",
      "2. If you use a HTTP proxy, is it specified correctly?",
      "3. The site www.example.org may be down temporarily"};
  // Port forward: the directory request fails.
  Client forward(nobody, 1);
  forward.options.webHost = "www.example.org";
  Log log;
  ConnectivityResult r = forward.Run(log);
  EXPECT_EQ(r.state, State::kUnreachable);
  EXPECT_EQ(r.box, Box::kNone);
  auto lines = log.Lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[lines.size() - 5], "Retrieving server information");
  EXPECT_EQ(std::vector(lines.end() - 4, lines.end()), unreachable);

  // Direct: no address of its own reaches the directory; nothing is sent.
  Client direct(nobody, 0);
  Log directLog;
  r = direct.Run(directLog);
  EXPECT_EQ(r.state, State::kUnreachable);
  lines = directLog.Lines();
  EXPECT_THAT(lines, Not(Contains("Retrieving server information")));
  EXPECT_EQ(lines.back(), "3. The site " + nobody + " may be down temporarily");

  // Direct, reachable only from a private address: told so, nothing sent.
  test::FakeService service;
  Client lan(service.DirectoryHost(), 0);
  Log lanLog;
  r = lan.Run(lanLog);
  EXPECT_EQ(r.state, State::kRequesting);
  EXPECT_EQ(lanLog.Lines().back(),
            "Please use the option in the Network Settings for a computer behind firewall if "
            "appropriate.");
  EXPECT_TRUE(service.Calls().empty());

  // An answer that is no document: the service is taken to be busy.
  service.SetAnswer("fwtest.asp",
                    [](const test::Form&) { return test::HttpResponse::Text(503, "<html>"); });
  Client busy(service.DirectoryHost(), 1);
  Log busyLog;
  r = busy.Run(busyLog);
  EXPECT_EQ(r.state, State::kBusy);
  EXPECT_EQ(r.box, Box::kNone);
  EXPECT_EQ(busyLog.Lines().back(), "The server is busy now. Please try after some time.");
  ASSERT_EQ(service.Calls("fwtest.asp").size(), 1u);
  EXPECT_EQ(service.Calls("fwtest.asp")[0].body,
            "Version=5&Message=Congratulations&Port=" + busy.PortText() + "&IPAddr=&IPType=1");

  // The firewall's address is the one the service saw.
  service.SetAnswer("fwtest.asp", [](const test::Form&) {
    return test::HttpResponse::Text(200, "<r><IPAddress>203.0.113.7</IPAddress></r>");
  });
  Log seen;
  busy.Run(seen);
  EXPECT_THAT(seen.Lines(), Contains("The IP address of the firewall is 203.0.113.7"));
}

TEST(ConnectivityTest, CancelAbortsARequestThatHangsAndWhatCannotBeTestedIsRefused) {
  test::FakeHttpServer server([](const test::HttpRequest&) { return test::HttpResponse::Hang(); });
  Client s(server.HostPort(), 2);
  s.net.configuredIp = "127.0.0.1";
  ConnectivityTest test(s.store, s.options);
  Log log;
  auto run = std::async(std::launch::async, [&] { return test.Run(s.net, log.Fn()); });
  ASSERT_TRUE(test::WaitFor([&] { return !server.Requests().empty(); }));
  test.Cancel();
  ASSERT_EQ(run.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  const ConnectivityResult r = run.get();
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(r.state, State::kLocating);
  EXPECT_EQ(r.box, Box::kNone);
  const auto lines = log.Lines();
  EXPECT_THAT(std::vector(lines.end() - 3, lines.end()),
              ElementsAre("Retrieving server information", "Attempting to cancel...",
                          "Cancelled by the user"));
  test.Cancel();  // after the run: nothing to do
  EXPECT_EQ(log.Lines().size(), lines.size());

  // Cancelled before it starts: nothing is bound or sent.
  ConnectivityTest early(s.store, s.options);
  early.Cancel();
  UdpSocket taken;
  ASSERT_TRUE(taken.Open() &&
              taken.Bind(SockAddr::Loopback(static_cast<uint16_t>(s.net.listeningPort))));
  Log earlyLog;
  const ConnectivityResult e = early.Run(s.net, earlyLog.Fn());
  EXPECT_TRUE(e.cancelled);
  EXPECT_EQ(e.box, Box::kNone);
  EXPECT_THAT(earlyLog.Lines(), ElementsAre("Attempting to cancel...", "Cancelled by the user"));

  // Another program on the listening port: refused, without exiting.
  Log takenLog;
  ConnectivityResult refused = s.Run(takenLog);
  EXPECT_EQ(refused.box, Box::kSocketError);
  const std::string why = "UDP port " + s.PortText() + ": Address already in use";
  EXPECT_EQ(refused.boxText,
            "Failed to bind socket. Please restart the software and try again\r\n\r\n" + why);
  EXPECT_THAT(takenLog.Lines(),
              ElementsAre("Failed to bind socket. Please restart the software and "
                          "try again",
                          why));
  for (const uint32_t port : {0u, 65536u}) {
    s.net.listeningPort = port;
    Log bad;
    refused = s.Run(bad);
    EXPECT_EQ(refused.box, Box::kNone);
    EXPECT_THAT(bad.Lines(), ElementsAre("The listening port " + std::to_string(port) +
                                         " is not valid: choose a port from 1 to 65535 in the "
                                         "Network Settings."));
  }
  s.net.ipType = 3;
  Log noTest;
  s.Run(noTest);
  EXPECT_THAT(noTest.Lines(),
              ElementsAre("You won't be able to test for incoming calls with this configuration."));
  EXPECT_EQ(server.Requests().size(), 1u);
}

}  // namespace
}  // namespace dialvo
