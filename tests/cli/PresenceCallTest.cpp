// dialvo-cli clients online for some seconds: calling each other by name
// through a dialvo-server, and a client that stops answering dropping out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/cli/OnlineClients.h"

namespace dialvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsSupersetOf;

TEST(CliPresenceCalls, ClientsCallEachOtherByName) {
  ServerProcess server({{"ann", "pw-ann"}, {"bob", "pw-bob"}}, 1);
  ASSERT_FALSE(server.HostPort().empty());
  ClientSettings annSettings(1);
  ClientSettings bobSettings(2, "127.0.0.1");
  {
    CliProcess bob(ClientArgs(server, bobSettings, "bob"));
    ASSERT_THAT(Fields(bob.WaitWord("LOGIN")), ElementsAre("LOGIN", "ok")) << bob.Stderr();
    const std::string bobPort = ListeningPort(bob);
    // The name as typed; the service spells it in lower case.
    CliProcess ann(
        ClientArgs(server, annSettings, "ann",
                   {"--call-buddy", "Bob", "--hangup-after", "1", "--exit-on-call-end"}));
    EXPECT_EQ(ann.WaitExit(10000), 0) << ann.Stderr();
    EXPECT_THAT(Fields(ann.WaitWord("CALLING")),
                ElementsAre("CALLING", "addr=127.0.0.1:" + bobPort, "name=bob"));
    EXPECT_EQ(CliProcess::Value(*ann.WaitWord("EV_PEER_JOINED"), "name"), "bob");
    EXPECT_THAT(ann.Words(), IsSupersetOf({"ONLINE", "CALLING", "EV_CALL_STARTED", "HANGUP",
                                           "EV_PEER_LEFT", "LOGOFF", "EXIT"}));
    // The callee was asked to confirm its name: it answers as the user logged in.
    EXPECT_EQ(CliProcess::Value(bob.WaitWord("EV_PEER_JOINED").value_or(""), "name"), "ann");
    ASSERT_TRUE(bob.WaitWord("EV_CALL_ENDED").has_value());
    EXPECT_EQ(CliProcess::Value(bob.WaitWord("LISTENING", 5000, 2).value_or(""), "user"), "bob");
    bob.Signal(SIGTERM);
    EXPECT_EQ(bob.WaitExit(), 0);
  }

  // The other way round. The buddy called before stayed on the service's
  // list, so the callee follows its caller without being told.
  CliProcess ann(ClientArgs(server, annSettings, "ann"));
  ASSERT_THAT(Fields(ann.WaitWord("LOGIN")), ElementsAre("LOGIN", "ok")) << ann.Stderr();
  const std::string annPort = ListeningPort(ann);
  CliProcess bob(ClientArgs(server, bobSettings, "bob",
                            {"--call-buddy", "ann", "--hangup-after", "1", "--exit-on-call-end"}));
  EXPECT_EQ(bob.WaitExit(10000), 0) << bob.Stderr();
  EXPECT_THAT(Fields(bob.WaitWord("CALLING")),
              ElementsAre("CALLING", "addr=127.0.0.1:" + annPort, "name=ann"));
  EXPECT_EQ(CliProcess::Value(*bob.WaitWord("EV_PEER_JOINED"), "name"), "ann");
  EXPECT_EQ(CliProcess::Value(ann.WaitWord("EV_PEER_JOINED").value_or(""), "name"), "bob");
  EXPECT_EQ(Fields(ann.WaitWord("ONLINE")).at(1), "bob");
  EXPECT_THAT(Fields(ann.WaitWord("OFFLINE", 3000)), ElementsAre("OFFLINE", "bob"));
}

TEST(CliPresenceCalls, ClientThatStopsAnsweringDropsOutAndIsLoggedOff) {
  ServerProcess server({{"ann", "pw-ann"}, {"bob", "pw-bob"}}, 1);  // logins last 3 s
  ASSERT_FALSE(server.HostPort().empty());
  ClientSettings annSettings(1);
  ClientSettings bobSettings(1);
  CliProcess ann(ClientArgs(server, annSettings, "ann", {"--buddy", "bob"}));
  CliProcess bob(ClientArgs(server, bobSettings, "bob"));
  ASSERT_TRUE(ann.WaitWord("ONLINE").has_value()) << ann.Stderr();

  bob.Signal(SIGSTOP);
  EXPECT_THAT(Fields(ann.WaitWord("OFFLINE", 6000)), ElementsAre("OFFLINE", "bob"));
  EXPECT_TRUE(server.LogLines("logmeoff").empty());
  // Back again, its next keep-alive learns that its login is gone.
  bob.Signal(SIGCONT);
  EXPECT_THAT(Fields(bob.WaitWord("LOGOFF", 3000)), ElementsAre("LOGOFF", "ended"));
  bob.Signal(SIGTERM);
  EXPECT_EQ(bob.WaitExit(), 0);
  EXPECT_THAT(bob.Words(), ElementsAre("LISTENING", "LOGIN", "LOGOFF", "EXIT"));
}

}  // namespace
}  // namespace dialvo::test
