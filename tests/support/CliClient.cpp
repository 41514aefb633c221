#include "tests/support/CliClient.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/Wait.h"

namespace dialvo::test {

namespace {

std::string BinDir() {
  if (const char* dir = std::getenv("DIALVO_BIN_DIR"); dir != nullptr && *dir != '\0') return dir;
  std::error_code error;
  return (std::filesystem::read_symlink("/proc/self/exe", error).parent_path().parent_path() /
          "bin")
      .string();
}

}  // namespace

CliClient::CliClient(const std::vector<std::string>& args,
                     const std::vector<std::string>& extraEnv) {
  // Opened before the start, so that no output can come before the file.
  out_ = open(dir_.File("out").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
  std::vector<std::string> argv{BinDir() + "/dialvo-cli"};
  argv.insert(argv.end(), args.begin(), args.end());
  started_ = std::chrono::steady_clock::now();
  pid_ = Spawn(argv, extraEnv, dir_.File("out"), dir_.File("err"));
}

CliClient::~CliClient() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
}

void CliClient::Read() {
  char buffer[65536];
  for (ssize_t n; out_ >= 0 && (n = read(out_, buffer, sizeof buffer)) > 0;) {
    partial_.append(buffer, static_cast<size_t>(n));
  }
  for (size_t eol; (eol = partial_.find('\n')) != std::string::npos; partial_.erase(0, eol + 1)) {
    lines_.push_back(partial_.substr(0, eol));
    words_.push_back(Word(lines_.back()));
  }
}

std::optional<std::string> CliClient::WaitWord(const std::string& word, int timeoutMs, int nth) {
  std::optional<std::string> found;
  WaitFor(
      [&] {
        Read();
        int seen = 0;
        for (size_t i = 0; i < lines_.size() && !found; ++i) {
          if (words_[i] == word && ++seen == nth) found = lines_[i];
        }
        return found.has_value();
      },
      timeoutMs);
  return found;
}

std::vector<std::string> CliClient::Lines(const std::string& word) {
  Read();
  std::vector<std::string> lines;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (words_[i] == word) lines.push_back(lines_[i]);
  }
  return lines;
}

std::vector<std::string> CliClient::NewLines() {
  Read();
  std::vector<std::string> lines(lines_.begin() + static_cast<ptrdiff_t>(newFrom_), lines_.end());
  newFrom_ = lines_.size();
  return lines;
}

std::vector<std::string> CliClient::Words() {
  Read();
  std::vector<std::string> words;
  for (const std::string& w : words_) {
    if (w != "EV_BYTES_SENT" && w != "EV_BYTES_RECEIVED" && w != "EV_CAPTURE_BUFFER" &&
        w != "EV_PLAYOUT_BUFFER") {
      words.push_back(w);
    }
  }
  return words;
}

bool CliClient::NoOutput() {
  Read();
  return lines_.empty() && partial_.empty();
}

void CliClient::Signal(int signal) {
  // Never kill(-1, ...): it would reach every process of the user.
  if (pid_ > 0 && !status_) kill(pid_, signal);
}

std::optional<int> CliClient::WaitExit(int timeoutMs) {
  WaitFor(
      [&] {
        int status = 0;
        if (pid_ > 0 && !status_ && waitpid(pid_, &status, WNOHANG) == pid_) {
          status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return status_ || pid_ <= 0;
      },
      timeoutMs);
  return status_;
}

CliClient::Footprint CliClient::Measure() const {
  Footprint f;
  if (pid_ <= 0 || status_) return f;
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  for (std::string key; in >> key;) {
    if (key == "Threads:") in >> f.threads;
    if (key == "VmRSS:") in >> f.rssKb;
  }
  return f;
}

std::string CliClient::Word(const std::string& line) {
  std::istringstream in(line);
  std::string ms;
  std::string word;
  in >> ms >> word;
  return word;
}

std::string CliClient::Value(const std::string& line, const std::string& key) {
  std::istringstream in(line);
  for (std::string field; in >> field;) {
    if (field.starts_with(key + "=")) return field.substr(key.size() + 1);
  }
  return "";
}

}  // namespace dialvo::test
