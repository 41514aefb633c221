// dialvo-cli --connectivity-test: a whole run against a dialvo-server of its
// own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "settings/Settings.h"
#include "tests/cli/ServerProcess.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LoopbackPorts.h"
#include "tests/support/ScratchDir.h"

namespace dialvo::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

std::string Cli() {
  return std::filesystem::path(ServerProcess::Program()).replace_filename("dialvo-cli").string();
}

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(CliConnectivityTest, ReachesThePcOnItsStoredPort) {
  ServerProcess server({}, 45);
  ASSERT_FALSE(server.HostPort().empty());
  ScratchDir dir;
  const uint16_t port = UnusedUdpPort();
  ASSERT_NE(port, 0);
  SettingsStore store(dir.File("conf"));
  // Port-forward then names the configured address.
  ASSERT_TRUE(SaveNetworkSettings(
      store, {.configuredIp = "127.0.0.1", .useAlternateListeningPort = 1, .listeningPort = port}));

  const std::string out = dir.File("out.txt");
  EXPECT_EQ(RunProgram({Cli(), "--config", dir.File("conf"), "--server", server.HostPort(),
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
}

}  // namespace
}  // namespace dialvo::test
