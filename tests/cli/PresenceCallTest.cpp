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
  // A client of user's calls the callee, logged in as name, by the name
  // typed, and hangs up.
  const auto callByName = [&](CliProcess& callee, const std::string& name,
                              const ClientSettings& settings, const std::string& user,
                              const std::string& typed) {
    ASSERT_THAT(Fields(callee.WaitWord("LOGIN")), ElementsAre("LOGIN", "ok")) << callee.Stderr();
    CliProcess caller(
        ClientArgs(server, settings, user,
                   {"--call-buddy", typed, "--hangup-after", "1", "--exit-on-call-end"}));
    EXPECT_EQ(caller.WaitExit(10000), 0) << caller.Stderr();
    EXPECT_THAT(Fields(caller.WaitWord("CALLING")),
                ElementsAre("CALLING", "addr=127.0.0.1:" + ListeningPort(callee), "name=" + name));
    EXPECT_EQ(CliProcess::Value(*caller.WaitWord("EV_PEER_JOINED"), "name"), name);
    EXPECT_THAT(caller.Words(), IsSupersetOf({"ONLINE", "CALLING", "EV_CALL_STARTED", "HANGUP",
                                              "EV_PEER_LEFT", "LOGOFF", "EXIT"}));
    // The callee was asked to confirm its name: it answers as the user logged in.
    EXPECT_EQ(CliProcess::Value(callee.WaitWord("EV_PEER_JOINED").value_or(""), "name"), user);
  };
  {
    CliProcess bob(ClientArgs(server, bobSettings, "bob"));
    callByName(bob, "bob", annSettings, "ann", "Bob");  // the service spells it in lower case
    ASSERT_TRUE(bob.WaitWord("EV_CALL_ENDED").has_value());
    EXPECT_EQ(CliProcess::Value(bob.WaitWord("LISTENING", 5000, 2).value_or(""), "user"), "bob");
    bob.Signal(SIGTERM);
    EXPECT_EQ(bob.WaitExit(), 0);
  }

  // The other way round. The buddy called before stayed on the service's
  // list, so the callee follows its caller without being told.
  CliProcess ann(ClientArgs(server, annSettings, "ann"));
  callByName(ann, "ann", bobSettings, "bob", "ann");
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
