#include "tests/cli/CliProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

namespace dialvo::test {

namespace {
using Steady = std::chrono::steady_clock;

int MsLeft(Steady::time_point deadline) {
  return static_cast<int>(std::max<int64_t>(
      0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count()));
}

// The programs' folder: DIALVO_BIN_DIR, or else bin/ beside the tests'
// folder of the build.
std::string BinDir() {
  if (const char* dir = std::getenv("DIALVO_BIN_DIR"); dir != nullptr && *dir != '\0') return dir;
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return (self.parent_path().parent_path() / "bin").string();
}

}  // namespace

CliProcess::CliProcess(const std::vector<std::string>& args) {
  const std::string program = BinDir() + "/dialvo-cli";
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  out_ = out[0];
  err_ = err[0];
}

CliProcess::~CliProcess() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
  if (err_ >= 0) close(err_);
}

bool CliProcess::ReadSome(int timeoutMs) {
  pollfd pfd{out_, POLLIN, 0};
  if (out_ < 0 || poll(&pfd, 1, timeoutMs) <= 0) return false;
  char buffer[4096];
  const ssize_t n = read(out_, buffer, sizeof buffer);
  if (n <= 0) return false;
  partial_.append(buffer, static_cast<size_t>(n));
  for (size_t eol; (eol = partial_.find('\n')) != std::string::npos;) {
    lines_.push_back(partial_.substr(0, eol));
    partial_.erase(0, eol + 1);
  }
  return true;
}

std::optional<std::string> CliProcess::WaitWord(const std::string& word, int timeoutMs, int nth) {
  const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int seen = 0;
    for (const std::string& line : lines_) {
      std::istringstream in(line);
      std::string ms;
      std::string w;
      if (in >> ms >> w && w == word && ++seen == nth) return line;
    }
    if (MsLeft(deadline) == 0) return std::nullopt;
    if (!ReadSome(MsLeft(deadline)) && MsLeft(deadline) > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));  // pipe closed
    }
  }
}

std::vector<std::string> CliProcess::Lines() {
  while (ReadSome(0)) {
  }
  return lines_;
}

std::vector<std::string> CliProcess::Words() {
  std::vector<std::string> words;
  for (const std::string& line : Lines()) {
    std::istringstream in(line);
    std::string ms;
    std::string w;
    if (in >> ms >> w && w != "EV_BYTES_SENT" && w != "EV_BYTES_RECEIVED") words.push_back(w);
  }
  return words;
}

std::string CliProcess::Value(const std::string& line, const std::string& key) {
  std::istringstream in(line);
  for (std::string field; in >> field;) {
    if (field.starts_with(key + "=")) return field.substr(key.size() + 1);
  }
  return "";
}

long CliProcess::Ms(const std::string& line) { return std::stol(line); }

void CliProcess::Signal(int signal) {
  if (pid_ > 0 && !status_) kill(pid_, signal);
}

std::optional<int> CliProcess::WaitExit(int timeoutMs) {
  const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
  while (!status_ && pid_ > 0) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (MsLeft(deadline) == 0) break;
    ReadSome(10);
  }
  return status_;
}

std::string CliProcess::Stderr() {
  std::string text;
  char buffer[1024];
  pollfd pfd{err_, POLLIN, 0};
  while (err_ >= 0 && poll(&pfd, 1, 0) > 0) {
    const ssize_t n = read(err_, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace dialvo::test
