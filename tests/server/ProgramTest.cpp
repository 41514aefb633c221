// The dialvo-server program itself: account commands and serving.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/cli/ServerProcess.h"
#include "tests/server/Harness.h"
#include "tests/support/ChildProcess.h"

namespace dialvo::server::test {
namespace {

using RunningServer = ::dialvo::test::ServerProcess;

const std::string kLogin = Harness::LoginBody("bob", "pw-of-bob", kGuidA);

struct Outcome {
  int exitCode = -1;
  std::string output;  // stdout and stderr
};

// Runs the program through the shell with single-quoted arguments.
Outcome RunProgram(const std::vector<std::string>& args, const std::string& input = "") {
  // A program that serves instead of failing is stopped, not waited for.
  std::string command =
      "printf '%s' '" + input + "' | timeout -s KILL 10 '" + RunningServer::Program() + "'";
  for (const auto& arg : args) command += " '" + arg + "'";
  const ScratchDir dir;
  const int status = dialvo::test::RunProgram({"sh", "-c", command + " 2>&1"}, {}, dir.File("out"));
  return {status, dialvo::test::ReadFile(dir.File("out"))};
}

TEST(Program, AccountCommandsManageTheDatabase) {
  ScratchDir dir;
  const std::string db = TestDatabase(dir.Path() + "/nested/accounts.db");  // folders are created
  Outcome run = RunProgram({"--db", db, "user", "add", "alice", "secret1"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, "The account alice was created.\n");
  EXPECT_EQ(RunProgram({"--db", db, "user", "add", "bob"}, "from-stdin\n").exitCode, 0);
  run = RunProgram({"--db", db, "user", "add", "ALICE", "secret2"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.output, "already taken")) << run.output;
  EXPECT_EQ(RunProgram({"--db", db, "user", "add", "a b", "secret1"}).exitCode, 1);
  EXPECT_EQ(RunProgram({"--db", db, "user", "list"}).output, "alice\nbob\n");
  EXPECT_EQ(RunProgram({"--db", db, "user", "del", "alice"}).exitCode, 0);
  EXPECT_EQ(RunProgram({"--db", db, "user", "del", "alice"}).exitCode, 1);
  EXPECT_EQ(RunProgram({"--db", db, "user", "list"}).output, "bob\n");
  EXPECT_EQ(RunProgram({"--bogus"}).exitCode, 2);
  EXPECT_EQ(RunProgram({"--trusted-proxy", "proxy.example"}).exitCode, 2);
  EXPECT_EQ(RunProgram({"--connections-per-address", "0"}).exitCode, 2);
  EXPECT_EQ(RunProgram({"--help"}).exitCode, 0);
}

// Plain HTTP serving is what every command-line client test runs on.
TEST(Program, ServesHttpsWithTheGivenCertificateOnlyAndLogsEachRequest) {
  const std::string data = std::string(DIALVO_TEST_SOURCE_DIR) + "/tests/server/data/";
  const std::string cert = data + "tls-cert.pem";
  ScratchDir dir;
  const std::string db = TestDatabase(dir.Path() + "/service.db");
  ASSERT_EQ(RunProgram({"--db", db, "user", "add", "bob", "pw-of-bob"}).exitCode, 0);
  RunningServer server({"--db", db, "--tls-cert", cert, "--tls-key", data + "tls-key.pem"});
  const uint16_t port = server.Port();
  ASSERT_NE(port, 0) << server.Log();
  EXPECT_TRUE(Contains(server.Log(), "over HTTPS")) << server.Log();

  // The directory sends the commands over TLS too.
  EXPECT_TRUE(Contains(Post(port, "DialvoServer.asp", "version=5", {}, cert).body,
                       "CURRENT IP=https://127.0.0.1:" + std::to_string(port)));
  EXPECT_TRUE(Contains(Post(port, "dialvo\\logmein.asp", kLogin, {}, cert).body,
                       "<errorcode>0</errorcode>"));
  EXPECT_TRUE(server.WaitLog("logmein user=bob accepted")) << server.Log();
  // Plain HTTP on the same port gets no answer, so no password crosses in
  // clear text by mistake.
  EXPECT_EQ(Post(port, "dialvo\\logmein.asp", kLogin).status, 0);
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_TRUE(Contains(server.Log(), "dialvo-server: stopped")) << server.Log();
  EXPECT_FALSE(Contains(server.Log(), "pw-of-bob"));

  // A key without its certificate, a missing file or a file that is no PEM
  // is a clear error at start.
  const std::string notPem = dir.Path() + "/key.txt";
  std::ofstream(notPem) << "no key here\n";
  Outcome run = RunProgram({"--db", db, "--tls-key", cert});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_TRUE(Contains(run.output, "--tls-cert and --tls-key go together")) << run.output;
  run = RunProgram({"--db", db, "--listen", "127.0.0.1:0", "--tls-cert", data + "missing.pem",
                    "--tls-key", cert});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.output, "cannot read the TLS certificate")) << run.output;
  run =
      RunProgram({"--db", db, "--listen", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", notPem});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.output, "not a PEM file")) << run.output;
  // A certificate given as the key: libmicrohttpd refuses the pair.
  run = RunProgram({"--db", db, "--listen", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", cert});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.output, "not a valid PEM pair")) << run.output;
}

}  // namespace
}  // namespace dialvo::server::test
