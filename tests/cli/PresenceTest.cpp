// dialvo-cli online: its presence options, the call a buddy's record allows,
// and clients logging in to a dialvo-server of their own, seeing each other
// and calling each other by name.
#include "cli/Presence.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "cli/Options.h"
#include "settings/Settings.h"
#include "tests/cli/OnlineClients.h"

namespace dialvo::test {
namespace {

using cli::ParseResult;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

ParseResult Parse(std::vector<const char*> args) { return cli::ParseOptions(args); }

TEST(CliPresenceOptions, ReadsPresenceOptionsAndRejectsBadOnes) {
  const ParseResult ok =
      Parse({"--config", "/tmp/conf", "--server=127.0.0.1:8720", "--login", " Ann ", "--password",
             "p w", "--buddy", "Bob ", "--buddy", "alice_2", "--buddy", "BOB", "--buddy", "alice.b",
             "--keepalive", "2", "--call-buddy", "Dee"});
  ASSERT_EQ(ok.kind, ParseResult::kRun) << ok.error;
  const cli::PresenceOptions& p = ok.options.presence;
  EXPECT_EQ(p.configDir, "/tmp/conf");
  EXPECT_EQ(p.server, "127.0.0.1:8720");
  EXPECT_EQ(p.login, "Ann");
  EXPECT_EQ(p.password, "p w");
  EXPECT_THAT(p.buddies, ElementsAre("alice.b", "alice_2", "bob"));  // as the list keeps them
  EXPECT_EQ(p.keepAliveSec, 2u);
  EXPECT_EQ(p.callBuddy, "dee");

  const std::vector<std::pair<std::vector<const char*>, const char*>> bad = {
      {{"--buddy", "bob"}, "--buddy needs --login"},
      {{"--server", "localhost", "--login", "a"}, "--login needs --password"},
      {{"--login", "a", "--password", "p", "--buddy", "al ice"}, "invalid characters or spaces"},
      {{"--login", "a", "--password", "p", "--call-buddy", " "}, "1 to 63 characters"},
      {{"--login", "a", "--password", "p", "--keepalive", "0"}, "1 to 86400"},
      {{"--login", "a", "--password", "p", "--server", "host:99999"}, "--server"},
      {{"--login", "a", "--password", "p", "--call-buddy", "b", "--call", "h"}, "one call"},
      {{"--login", "ann", "--password", "p", "--call-buddy", "ANN"}, "cannot call itself"},
  };
  for (const auto& [args, message] : bad) {
    const ParseResult r = Parse(args);
    EXPECT_EQ(r.kind, ParseResult::kError) << message;
    EXPECT_THAT(r.error, HasSubstr(message));
  }
}

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

  // Every round: iamup, then the online list.
  ASSERT_TRUE(server.WaitLog("getuserlist user=ann", 5000, 3));
  std::vector<std::string> rounds;
  for (const std::string& line : server.LogLines("user=ann")) {
    if (line.find("iamup") != std::string::npos) rounds.emplace_back("iamup");
    if (line.find("getuserlist") != std::string::npos) rounds.emplace_back("getuserlist");
  }
  ASSERT_GE(rounds.size(), 6u);
  for (size_t i = 0; i + 1 < rounds.size(); i += 2) {
    EXPECT_THAT(std::vector<std::string>(rounds.begin() + i, rounds.begin() + i + 2),
                ElementsAre("iamup", "getuserlist"));
  }

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

TEST(CliPresenceService, FailedFirstLoginEndsTheClient) {
  ServerProcess server({{"ann", "pw-ann"}}, 45);
  ASSERT_FALSE(server.HostPort().empty());
  ClientSettings settings(1);
  std::vector<std::string> args = ClientArgs(server, settings, "ann");
  args[std::find(args.begin(), args.end(), "--password") - args.begin() + 1] = "wrong";
  CliProcess refused(args);
  EXPECT_EQ(refused.WaitExit(), 1);
  EXPECT_THAT(Fields(refused.WaitWord("LOGIN")),
              ElementsAre("LOGIN", "refused", "Invalid%20user%20name%20or%20password."));
  EXPECT_THAT(refused.Words(), ElementsAre("LISTENING", "LOGIN", "EXIT"));

  // Nobody at the service's address: a bound port that never listens.
  const int closed = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ASSERT_EQ(bind(closed, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(getsockname(closed, reinterpret_cast<sockaddr*>(&addr), &length), 0);
  args[std::find(args.begin(), args.end(), "--server") - args.begin() + 1] =
      "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  CliProcess unreachable(args);
  EXPECT_EQ(unreachable.WaitExit(), 1);
  close(closed);
  EXPECT_THAT(Fields(unreachable.WaitWord("LOGIN")), ElementsAre("LOGIN", "failed", "unreachable"));
}

TEST(CliPresenceService, BuddyThatCannotBeCalledEndsTheAttempt) {
  ServerProcess server({{"ann", "pw-ann"}, {"bob", "pw-bob"}}, 1);
  ASSERT_FALSE(server.HostPort().empty());
  ClientSettings annSettings(1);
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
