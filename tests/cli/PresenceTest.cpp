// dialvo-cli online: the call a buddy's record allows, and clients logging in
// to a dialvo-server of their own and seeing each other.
#include "cli/Presence.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include "settings/Settings.h"
#include "tests/cli/OnlineClients.h"
#include "tests/support/LoopbackPorts.h"

namespace dialvo::test {
namespace {

using ::testing::ElementsAre;

TEST(CliPresence, BuddyRecordDecidesHowItIsCalled) {
  // Directly on the internet: its address is proof enough of who answers.
  cli::BuddyCall call = cli::CallFor({"Bob", "62.10.20.30", 5000, 5, 0});
  EXPECT_EQ(call.refusal, "");
  EXPECT_EQ(call.host + ":" + std::to_string(call.port), "62.10.20.30:5000");
  EXPECT_EQ(call.callee, "Bob");
  EXPECT_EQ(call.confirmUser, 0u);
  // Behind a firewall or on a local network: the callee confirms its name.
  for (const int type : {1, 2, 3}) {
    call = cli::CallFor({"bob", "127.0.0.1", 1720, 5, type});
    EXPECT_EQ(call.refusal, "");
    EXPECT_EQ(call.confirmUser, 1u) << type;
  }
  EXPECT_EQ(cli::CallFor({"bob", "LAN", 1720, 5, 0}).refusal, "behind-firewall");
  EXPECT_EQ(cli::CallFor({"bob", "", 1720, 5, 0}).refusal, "no-address");
  EXPECT_EQ(cli::CallFor({"bob", "1.2.3.4", 0, 5, 0}).refusal, "no-port");
  EXPECT_EQ(cli::CallFor({"bob", "1.2.3.4", 65536, 5, 0}).refusal, "no-port");
}

TEST(CliPresenceService, LogsInKeepsAliveFollowsBuddiesAndLogsOff) {
  ServerProcess server({{"ann", "pw-ann"}, {"bob", "pw-bob"}}, 1);
  ASSERT_FALSE(server.HostPort().empty());
  ClientSettings annSettings(1);
  ClientSettings bobSettings(2, "127.0.0.1");
  CliProcess ann(ClientArgs(server, annSettings, "ann", {"--buddy", "Bob"}));
  CliProcess bob(ClientArgs(server, bobSettings, "bob", {"--buddy", "ann"}));
  EXPECT_THAT(Fields(ann.WaitWord("LOGIN")), ElementsAre("LOGIN", "ok")) << ann.Stderr();
  EXPECT_THAT(Fields(bob.WaitWord("LOGIN")), ElementsAre("LOGIN", "ok")) << bob.Stderr();

  // Each sees the other where its engine really listens, with its type.
  EXPECT_THAT(Fields(ann.WaitWord("ONLINE")),
              ElementsAre("ONLINE", "bob", "127.0.0.1", ListeningPort(bob), "2"));
  EXPECT_THAT(Fields(bob.WaitWord("ONLINE")),
              ElementsAre("ONLINE", "ann", "127.0.0.1", ListeningPort(ann), "1"));

  // The buddy given went to the local copy and up to the service.
  EXPECT_EQ(LoadBuddyList(SettingsStore(annSettings.Path()), "ann"),
            std::vector<std::string>{"bob"});
  EXPECT_TRUE(server.WaitLog("syncblist user=ann 1 buddies"));

  // Every round: iamup, then the online list (the last may be under way).
  ASSERT_TRUE(server.WaitLog("getuserlist user=ann", 5000, 3));
  std::string rounds;  // u for iamup, l for getuserlist
  for (const std::string& line : server.LogLines("user=ann")) {
    if (line.find("iamup") != std::string::npos) rounds += 'u';
    if (line.find("getuserlist") != std::string::npos) rounds += 'l';
  }
  EXPECT_THAT(rounds, ::testing::MatchesRegex("(ul){3,}[ul]?"));

  // Leaving logs off at once: the buddy sees it at its next round.
  bob.Signal(SIGTERM);
  EXPECT_EQ(bob.WaitExit(), 0);
  EXPECT_THAT(Fields(bob.WaitWord("LOGOFF")), ElementsAre("LOGOFF", "exit"));
  EXPECT_TRUE(server.WaitLog("logmeoff user=bob logged off"));
  EXPECT_THAT(Fields(ann.WaitWord("OFFLINE", 3000)), ElementsAre("OFFLINE", "bob"));

  ann.Signal(SIGINT);
  EXPECT_EQ(ann.WaitExit(), 0);
  EXPECT_THAT(ann.Words(),
              ElementsAre("LISTENING", "LOGIN", "ONLINE", "OFFLINE", "LOGOFF", "EXIT"));
}

TEST(CliPresenceService, RefusedLoginNoServiceOrABuddyThatCannotBeCalledEndTheClient) {
  ServerProcess server({{"ann", "pw-ann"}, {"bob", "pw-bob"}}, 1);
  ASSERT_FALSE(server.HostPort().empty());
  ClientSettings annSettings(1);
  std::vector<std::string> args = ClientArgs(server, annSettings, "ann");
  args[std::find(args.begin(), args.end(), "--password") - args.begin() + 1] = "wrong";
  CliProcess refused(args);
  EXPECT_EQ(refused.WaitExit(), 1);
  EXPECT_THAT(Fields(refused.WaitWord("LOGIN")),
              ElementsAre("LOGIN", "refused", "Invalid%20user%20name%20or%20password."));
  EXPECT_THAT(refused.Words(), ElementsAre("LISTENING", "LOGIN", "EXIT"));

  // Nobody at the service's address: a bound port that never listens.
  uint16_t closedPort = 0;
  const int closed = LoopbackTcpSocket(false, &closedPort);
  ASSERT_GE(closed, 0);
  args[std::find(args.begin(), args.end(), "--server") - args.begin() + 1] =
      "127.0.0.1:" + std::to_string(closedPort);
  CliProcess unreachable(args);
  EXPECT_EQ(unreachable.WaitExit(), 1);
  close(closed);
  EXPECT_THAT(Fields(unreachable.WaitWord("LOGIN")), ElementsAre("LOGIN", "failed", "unreachable"));

  ClientSettings bobSettings(2, "LAN");  // published as behind a firewall
  CliProcess bob(ClientArgs(server, bobSettings, "bob"));
  ASSERT_THAT(Fields(bob.WaitWord("LOGIN")), ElementsAre("LOGIN", "ok")) << bob.Stderr();
  CliProcess ann(
      ClientArgs(server, annSettings, "ann", {"--call-buddy", "bob", "--exit-on-call-end"}));
  EXPECT_EQ(ann.WaitExit(10000), 1);
  EXPECT_THAT(Fields(ann.WaitWord("CANNOT_CALL")),
              ElementsAre("CANNOT_CALL", "name=bob", "reason=behind-firewall"));
  EXPECT_THAT(ann.Words(),
              ElementsAre("LISTENING", "LOGIN", "ONLINE", "CANNOT_CALL", "LOGOFF", "EXIT"));
}

}  // namespace
}  // namespace dialvo::test
