#pragma once
// A dialvo-cli process started by a test, with its output read line by line.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace dialvo::test {

class CliProcess {
 public:
  explicit CliProcess(const std::vector<std::string>& args);
  ~CliProcess();  // kills the process if it still runs
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  // The nth output line whose second field is word, waiting up to timeoutMs.
  std::optional<std::string> WaitWord(const std::string& word, int timeoutMs = 5000, int nth = 1);
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
