#pragma once
// A dialvo-cli process started by a test, with its output read line by line.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace dialvo::test {

class CliProcess {
 public:
  explicit CliProcess(const std::vector<std::string>& args);
  // Kills the process if it still runs.
  ~CliProcess();
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  // The nth output line (from the start) whose second word is word, waiting
  // up to timeoutMs for it.
  std::optional<std::string> WaitWord(const std::string& word, int timeoutMs = 5000, int nth = 1);
  // The output lines' words in order (the second field of each line).
  std::vector<std::string> Words();
  std::vector<std::string> Lines();
  // The value of key in a line, or "".
  static std::string Value(const std::string& line, const std::string& key);
  static long Ms(const std::string& line);

  void Signal(int signal);
  // The exit status, or nullopt when the process is still running after
  // timeoutMs.
  std::optional<int> WaitExit(int timeoutMs = 5000);
  std::string Stderr();

 private:
  bool ReadSome(int timeoutMs);

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
  std::optional<int> status_;
};

}  // namespace dialvo::test
