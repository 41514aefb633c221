#include "tests/cli/ServerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>

extern char** environ;

namespace dialvo::test {

namespace {

using Steady = std::chrono::steady_clock;

std::string Program() {
  const char* dir = std::getenv("DIALVO_BIN_DIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : DIALVO_TEST_BIN_DIR) + "/dialvo-server";
}

// Starts the program with args; stderr goes to errFd when it is not -1.
pid_t Spawn(std::vector<std::string> args, int errFd) {
  const std::string program = Program();
  args.insert(args.begin(), program);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

ServerProcess::ServerProcess(const std::vector<Account>& accounts, int keepAliveSec) {
  const std::string db = (dir_ / "service.db").string();
  for (const auto& [name, password] : accounts) {
    const pid_t pid = Spawn({"--db", db, "user", "add", name, password}, -1);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      return;
    }
  }
  int err[2];
  if (pipe2(err, O_CLOEXEC) != 0) return;
  pid_ = Spawn({"--db", db, "--listen", "127.0.0.1:0", "--keepalive", std::to_string(keepAliveSec),
                "--threads", "4"},
               err[1]);
  close(err[1]);
  err_ = err[0];
  if (pid_ < 0 || !WaitLog("serving on 127.0.0.1:", 10000)) return;
  std::smatch match;
  const std::string line = LogLines("serving on")[0];
  if (std::regex_search(line, match, std::regex("serving on (127\\.0\\.0\\.1:\\d+)"))) {
    hostPort_ = match[1];
  }
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (err_ >= 0) close(err_);
}

bool ServerProcess::ReadSome(int timeoutMs) {
  pollfd pfd{err_, POLLIN, 0};
  char buffer[4096];
  if (err_ < 0 || poll(&pfd, 1, timeoutMs) <= 0) return false;
  const ssize_t n = read(err_, buffer, sizeof buffer);
  if (n > 0) log_.append(buffer, static_cast<size_t>(n));
  return n > 0;
}

bool ServerProcess::WaitLog(const std::string& text, int timeoutMs, int count) {
  const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (static_cast<int>(LogLines(text).size()) >= count) return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    // At the end of the output poll() reports the pipe at once: pace it.
    if (left <= 0 || (!ReadSome(static_cast<int>(left)) && poll(nullptr, 0, 5) < 0)) return false;
  }
}

std::vector<std::string> ServerProcess::LogLines(const std::string& text) {
  while (ReadSome(0)) {
  }
  std::vector<std::string> found;
  // Whole lines only: the last one may still be on its way.
  for (size_t start = 0, end; (end = log_.find('\n', start)) != std::string::npos;
       start = end + 1) {
    std::string line = log_.substr(start, end - start);
    if (line.find(text) != std::string::npos) found.push_back(std::move(line));
  }
  return found;
}

}  // namespace dialvo::test
