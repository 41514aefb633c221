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
  std::string command = "printf '%s' '" + input + "' | '" + Program() + "'";
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

TEST(Program, ServesUntilTerminatedAndLogsEachRequest) {
  TempDir dir;
  const std::string db = TestDatabase(dir.Path() + "/service.db");
  ASSERT_EQ(RunProgram({"--db", db, "user", "add", "bob", "pw-of-bob"}).exitCode, 0);

  int err[2];
  ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  const std::string program = Program();
  std::vector<std::string> args = {program, "--db", db, "--listen", "127.0.0.1:0"};
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(err[1]);

  std::string log;
  const auto readUntil = [&](const std::string& part) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (log.find(part) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd fd{err[0], POLLIN, 0};
      if (poll(&fd, 1, 100) <= 0) continue;
      char buffer[512];
      const ssize_t n = read(err[0], buffer, sizeof buffer);
      if (n <= 0) break;
      log.append(buffer, static_cast<size_t>(n));
    }
    return log.find(part) != std::string::npos;
  };
  ASSERT_TRUE(readUntil("\n")) << log;
  ASSERT_TRUE(readUntil("serving on 127.0.0.1:")) << log;
  ASSERT_TRUE(readUntil(", directory host")) << log;
  std::smatch match;
  ASSERT_TRUE(std::regex_search(log, match, std::regex("serving on 127\\.0\\.0\\.1:(\\d+)")));
  const auto port = static_cast<uint16_t>(std::stoi(match[1]));

  EXPECT_NE(Post(port, "DialvoServer.asp", "version=5")
                .body.find("CURRENT IP=127.0.0.1:" + std::string(match[1])),
            std::string::npos);
  EXPECT_NE(Post(port, "dialvo\\logmein.asp", Harness::LoginBody("bob", "pw-of-bob", kGuidA))
                .body.find("<errorcode>0</errorcode>"),
            std::string::npos);
  EXPECT_TRUE(readUntil("logmein user=bob accepted")) << log;

  kill(pid, SIGTERM);
  EXPECT_TRUE(readUntil("dialvo-server: stopped")) << log;
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(err[0]);
  EXPECT_EQ(log.find("pw-of-bob"), std::string::npos);
}

}  // namespace
}  // namespace dialvo::server::test
