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
  // extraEnv: "NAME=value" settings added to the test's environment.
  explicit CliProcess(const std::vector<std::string>& args,
                      const std::vector<std::string>& extraEnv = {});
  ~CliProcess();  // kills the process if it still runs
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  // The nth output line whose second field is word, waiting up to timeoutMs.
  std::optional<std::string> WaitWord(const std::string& word, int timeoutMs = 5000, int nth = 1);
  // Every output line so far whose second field is word.
  std::vector<std::string> Lines(const std::string& word);
  // The second fields of the lines so far, byte counters and sound buffers
  // left out.
  std::vector<std::string> Words();
  bool NoOutput();
  // The value of key in a line, or "".
  static std::string Value(const std::string& line, const std::string& key);

  void Signal(int signal);
  // The exit status; nullopt while it still runs after timeoutMs.
  std::optional<int> WaitExit(int timeoutMs = 5000);
  std::string Stderr();
  // When the process was started (its output's times count from about then).
  std::chrono::steady_clock::time_point Started() const { return started_; }

 private:
  bool ReadSome(int timeoutMs);

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
  std::optional<int> status_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace dialvo::test
