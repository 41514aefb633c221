// The dialvo-server program itself: account commands and serving.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>

#include "tests/server/Harness.h"

extern char** environ;

namespace dialvo::server::test {
namespace {

// DIALVO_BIN_DIR, or else bin/ beside the tests/ folder this test runs from.
std::string Program() {
  if (const char* dir = std::getenv("DIALVO_BIN_DIR"); dir != nullptr && dir[0] != '\0') {
    return std::string(dir) + "/dialvo-server";
  }
  const auto self = std::filesystem::read_symlink("/proc/self/exe");
  return (self.parent_path().parent_path() / "bin" / "dialvo-server").string();
}

struct Outcome {
  int exitCode = -1;
  std::string output;  // stdout and stderr
};

// Runs the program through the shell with single-quoted arguments.
Outcome RunProgram(const std::vector<std::string>& args, const std::string& input = "") {
  // A program that serves instead of failing is stopped, not waited for.
  std::string command = "printf '%s' '" + input + "' | timeout -s KILL 10 '" + Program() + "'";
  for (const auto& arg : args) command += " '" + arg + "'";
  command += " 2>&1";
  Outcome run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[512];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(Program, AccountCommandsManageTheDatabase) {
  TempDir dir;
  const std::string db = TestDatabase(dir.Path() + "/nested/accounts.db");  // folders are created
  Outcome run = RunProgram({"--db", db, "user", "add", "alice", "secret1"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, "The account alice was created.\n");
  EXPECT_EQ(RunProgram({"--db", db, "user", "add", "bob"}, "from-stdin\n").exitCode, 0);
  run = RunProgram({"--db", db, "user", "add", "ALICE", "secret2"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("already taken"), std::string::npos) << run.output;
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

// dialvo-server serving on an ephemeral loopback port, its log collected.
class RunningServer {
 public:
  explicit RunningServer(const std::vector<std::string>& extraArgs) {
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    const std::string program = Program();
    std::vector<std::string> args = {program, "--listen", "127.0.0.1:0"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
    err_ = err[0];
  }
  ~RunningServer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (err_ >= 0) close(err_);
  }

  // Reads the log until it holds part or the program's output ends.
  bool ReadUntil(const std::string& part) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (log_.find(part) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd fd{err_, POLLIN, 0};
      if (poll(&fd, 1, 100) <= 0) continue;
      char buffer[512];
      const ssize_t n = read(err_, buffer, sizeof buffer);
      if (n <= 0) break;
      log_.append(buffer, static_cast<size_t>(n));
    }
    return log_.find(part) != std::string::npos;
  }
  // The port it serves on, once it says so; 0 before or never.
  uint16_t Port() {
    std::smatch match;
    if (!ReadUntil(", directory host") ||
        !std::regex_search(log_, match, std::regex("serving on 127\\.0\\.0\\.1:(\\d+)"))) {
      return 0;
    }
    return static_cast<uint16_t>(std::stoi(match[1]));
  }
  // SIGTERM, then its exit status (-1 when it did not exit normally).
  int Stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    const bool reaped = waitpid(pid_, &status, 0) == pid_;
    pid_ = 0;
    ReadUntil("\n\n");  // the rest of the log, to its end
    return reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& Log() const { return log_; }

 private:
  pid_t pid_ = 0;
  int err_ = -1;
  std::string log_;
};

TEST(Program, ServesUntilTerminatedAndLogsEachRequest) {
  TempDir dir;
  const std::string db = TestDatabase(dir.Path() + "/service.db");
  ASSERT_EQ(RunProgram({"--db", db, "user", "add", "bob", "pw-of-bob"}).exitCode, 0);
  RunningServer server({"--db", db});
  const uint16_t port = server.Port();
  ASSERT_NE(port, 0) << server.Log();

  EXPECT_NE(Post(port, "DialvoServer.asp", "version=5")
                .body.find("CURRENT IP=127.0.0.1:" + std::to_string(port)),
            std::string::npos);
  EXPECT_NE(Post(port, "dialvo\\logmein.asp", Harness::LoginBody("bob", "pw-of-bob", kGuidA))
                .body.find("<errorcode>0</errorcode>"),
            std::string::npos);
  EXPECT_TRUE(server.ReadUntil("logmein user=bob accepted")) << server.Log();
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_NE(server.Log().find("dialvo-server: stopped"), std::string::npos) << server.Log();
  EXPECT_EQ(server.Log().find("pw-of-bob"), std::string::npos);
}

TEST(Program, ServesHttpsWithTheGivenCertificateOnly) {
  const std::string data = std::string(DIALVO_TEST_SOURCE_DIR) + "/tests/server/data/";
  const std::string cert = data + "tls-cert.pem";
  TempDir dir;
  const std::string db = dir.Path() + "/service.db";
  ASSERT_EQ(RunProgram({"--db", db, "user", "add", "bob", "pw-of-bob"}).exitCode, 0);
  RunningServer server({"--db", db, "--tls-cert", cert, "--tls-key", data + "tls-key.pem"});
  const uint16_t port = server.Port();
  ASSERT_NE(port, 0) << server.Log();
  EXPECT_NE(server.Log().find("over HTTPS"), std::string::npos) << server.Log();

  // The directory sends the commands over TLS too.
  const std::string target = "127.0.0.1:" + std::to_string(port);
  EXPECT_NE(Post(port, "DialvoServer.asp", "version=5", {}, cert)
                .body.find("CURRENT IP=https://" + target),
            std::string::npos);
  EXPECT_NE(
      Post(port, "dialvo\\logmein.asp", Harness::LoginBody("bob", "pw-of-bob", kGuidA), {}, cert)
          .body.find("<errorcode>0</errorcode>"),
      std::string::npos);
  // Plain HTTP on the same port gets no answer, so no password crosses in
  // clear text by mistake.
  EXPECT_EQ(
      Post(port, "dialvo\\logmein.asp", Harness::LoginBody("bob", "pw-of-bob", kGuidA)).status, 0);
  EXPECT_EQ(server.Stop(), 0);

  // A key without its certificate, a missing file or a file that is no PEM
  // is a clear error at start.
  Outcome run = RunProgram({"--db", db, "--tls-key", cert});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.output.find("--tls-cert and --tls-key go together"), std::string::npos);
  run = RunProgram({"--db", db, "--listen", "127.0.0.1:0", "--tls-cert", data + "missing.pem",
                    "--tls-key", cert});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("cannot read the TLS certificate"), std::string::npos) << run.output;
  run = RunProgram({"--db", db, "--listen", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", db});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("not a PEM file"), std::string::npos) << run.output;
  // A certificate given as the key: libmicrohttpd refuses the pair.
  run = RunProgram({"--db", db, "--listen", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", cert});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("not a valid PEM pair"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace dialvo::server::test
