// dialvo-cli --connectivity-test: its options, and a whole run against a
// dialvo-server of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "base/UdpSocket.h"
#include "cli/Options.h"
#include "settings/Settings.h"
#include "tests/cli/ServerProcess.h"
#include "tests/settings/TempDir.h"
#include "tests/support/ChildProcess.h"

namespace dialvo::test {
namespace {

using cli::ConnectivityWord;
using cli::ParseResult;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string Cli() {
  const char* dir = std::getenv("DIALVO_BIN_DIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : DIALVO_TEST_BIN_DIR) + "/dialvo-cli";
}

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(CliConnectivityOptions, TakesAnOptionalModeAndOnlyTheOptionsItUses) {
  ParseResult r =
      cli::ParseOptions(std::vector<const char*>{"--connectivity-test", "--port", "1800"});
  ASSERT_EQ(r.kind, ParseResult::kRun) << r.error;
  EXPECT_TRUE(r.options.connectivityTest);
  EXPECT_EQ(r.options.connectivityMode, ConnectivityWord::kStored);
  EXPECT_TRUE(r.options.portGiven);
  r = cli::ParseOptions(std::vector<const char*>{
      "--config", "/tmp/c", "--connectivity-test=reachability", "--server", "127.0.0.1:8720"});
  ASSERT_EQ(r.kind, ParseResult::kRun) << r.error;
  EXPECT_EQ(r.options.connectivityMode, ConnectivityWord::kReachability);
  EXPECT_FALSE(r.options.portGiven);

  const std::vector<std::pair<std::vector<const char*>, const char*>> bad = {
      {{"--connectivity-test", "sideways"}, "'sideways' is not reachability or port-forward"},
      {{"--connectivity-test=", "--port", "1800"}, "'' is not reachability"},
      {{"--connectivity-test", "port-forward", "--login", "ann"}, "cannot go with --login"},
      {{"--null-audio", "--connectivity-test"}, "cannot go with --null-audio"},
      {{"--connectivity-test", "--port", "0"}, "needs a port from 1 to 65535"},
  };
  for (const auto& [args, message] : bad) {
    r = cli::ParseOptions(args);
    EXPECT_EQ(r.kind, ParseResult::kError) << message;
    EXPECT_THAT(r.error, HasSubstr(message));
  }
}

TEST(CliConnectivityTest, ReachesThePcOnItsStoredPortAndRefusesAnUnknownMode) {
  ServerProcess server({}, 45);
  ASSERT_FALSE(server.HostPort().empty());
  TempDir dir;
  uint16_t port = 0;
  {
    UdpSocket probe;  // a port free a moment ago
    ASSERT_TRUE(probe.Open() && probe.Bind(SockAddr::Loopback(0)));
    port = probe.LocalName().value_or(SockAddr{}).port;
  }
  SettingsStore store(dir / "conf");
  NetworkSettings net;
  net.useAlternateListeningPort = 1;
  net.listeningPort = port;
  net.configuredIp = "127.0.0.1";  // port-forward then names it
  ASSERT_TRUE(SaveNetworkSettings(store, net));

  const std::string out = (dir / "out.txt").string();
  EXPECT_EQ(RunProgram({Cli(), "--config", (dir / "conf").string(), "--server", server.HostPort(),
                        "--connectivity-test", "port-forward"},
                       {}, out),
            0);
  const std::vector<std::string> lines = ReadLines(out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "The network settings that you have configured are as follows:");
  EXPECT_THAT(lines, Contains("Listening port is " + std::to_string(port)));
  EXPECT_THAT(lines, Contains("Firewall:127.0.0.1"));
  EXPECT_THAT(std::vector(lines.end() - 3, lines.end()),
              ElementsAre("The packet was received successfully",
                          "Your port forward settings are working correctly.", "Congratulations"));

  const std::string usage = (dir / "usage.txt").string();
  EXPECT_EQ(RunProgram({Cli(), "--connectivity-test", "sideways"}, {}, usage), 2);
  EXPECT_THAT(ReadLines(usage), ElementsAre(HasSubstr("'sideways' is not reachability")));
}

}  // namespace
}  // namespace dialvo::test
