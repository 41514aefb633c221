#include "tests/cli/CliProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "tests/support/CliClient.h"

namespace dialvo::test {

namespace {

using Steady = std::chrono::steady_clock;

int MsLeft(Steady::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

// DIALVO_BIN_DIR, or else bin/ beside the build's tests/ folder.
std::string BinDir() {
  if (const char* dir = std::getenv("DIALVO_BIN_DIR"); dir != nullptr && *dir != '\0') return dir;
  std::error_code error;
  return (std::filesystem::read_symlink("/proc/self/exe", error).parent_path().parent_path() /
          "bin")
      .string();
}

}  // namespace

CliProcess::CliProcess(const std::vector<std::string>& args,
                       const std::vector<std::string>& extraEnv) {
  const std::string program = BinDir() + "/dialvo-cli";
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> settings(extraEnv);
  for (char** e = environ; *e != nullptr; ++e) settings.emplace_back(*e);
  std::vector<char*> env;
  env.reserve(settings.size() + 1);
  for (std::string& setting : settings) env.push_back(setting.data());
  env.push_back(nullptr);
  started_ = Steady::now();
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), env.data()) != 0) {
    pid_ = -1;
  }
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
  char buffer[4096];
  if (out_ < 0 || poll(&pfd, 1, timeoutMs) <= 0) return false;
  const ssize_t n = read(out_, buffer, sizeof buffer);
  if (n <= 0) return false;
  partial_.append(buffer, static_cast<size_t>(n));
  for (size_t eol; (eol = partial_.find('\n')) != std::string::npos; partial_.erase(0, eol + 1)) {
    lines_.push_back(partial_.substr(0, eol));
  }
  return true;
}

std::optional<std::string> CliProcess::WaitWord(const std::string& word, int timeoutMs, int nth) {
  const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int seen = 0;
    for (const std::string& line : lines_) {
      if (CliClient::Word(line) == word && ++seen == nth) return line;
    }
    // At the end of the output poll() reports the pipe at once: pace it.
    if (MsLeft(deadline) == 0 || (!ReadSome(MsLeft(deadline)) && poll(nullptr, 0, 5) < 0)) {
      return std::nullopt;
    }
  }
}

std::vector<std::string> CliProcess::Lines(const std::string& word) {
  while (ReadSome(0)) {
  }
  std::vector<std::string> lines;
  for (const std::string& line : lines_) {
    if (CliClient::Word(line) == word) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> CliProcess::Words() {
  while (ReadSome(0)) {
  }
  std::vector<std::string> words;
  for (const std::string& line : lines_) {
    const std::string w = CliClient::Word(line);
    if (w != "EV_BYTES_SENT" && w != "EV_BYTES_RECEIVED" && w != "EV_CAPTURE_BUFFER" &&
        w != "EV_PLAYOUT_BUFFER") {
      words.push_back(w);
    }
  }
  return words;
}

bool CliProcess::NoOutput() {
  while (ReadSome(0)) {
  }
  return lines_.empty() && partial_.empty();
}

std::string CliProcess::Value(const std::string& line, const std::string& key) {
  return CliClient::Value(line, key);
}

void CliProcess::Signal(int signal) {
  if (pid_ > 0 && !status_) kill(pid_, signal);
}

std::optional<int> CliProcess::WaitExit(int timeoutMs) {
  const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
  while (!status_ && pid_ > 0) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else if (MsLeft(deadline) == 0) {
      break;
    } else if (!ReadSome(10)) {
      poll(nullptr, 0, 5);  // output closed: pace the wait
    }
  }
  return status_;
}

std::string CliProcess::Stderr() {
  std::string text;
  char buffer[1024];
  pollfd pfd{err_, POLLIN, 0};
  for (ssize_t n;
       err_ >= 0 && poll(&pfd, 1, 0) > 0 && (n = read(err_, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace dialvo::test
