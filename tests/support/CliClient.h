#pragma once
// A dialvo-cli process started by a test or a benchmark, its output lines
// kept for the checks. Its stdout and stderr go to files read as they grow,
// so that a client printing for minutes never blocks on a full pipe.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ScratchDir.h"

namespace dialvo::test {

class CliClient {
 public:
  // dialvo-cli from DIALVO_BIN_DIR, or else from bin/ beside the build's
  // tests/ folder. extraEnv: "NAME=value" settings added to the environment.
  explicit CliClient(const std::vector<std::string>& args,
                     const std::vector<std::string>& extraEnv = {});
  ~CliClient();  // kills the process if it still runs
  CliClient(const CliClient&) = delete;
  CliClient& operator=(const CliClient&) = delete;

  // The nth output line whose event word is word, waiting up to timeoutMs.
  std::optional<std::string> WaitWord(const std::string& word, int timeoutMs = 5000, int nth = 1);
  // Every output line so far whose event word is word.
  std::vector<std::string> Lines(const std::string& word);
  // The lines completed since the last call.
  std::vector<std::string> NewLines();
  // The event words of the lines so far, byte counters and sound buffers
  // left out.
  std::vector<std::string> Words();
  bool NoOutput();
  std::string Stderr() const { return ReadFile(dir_.File("err")); }

  // Nothing once it has ended.
  void Signal(int signal);
  // The exit status (128 + the signal when one ended it); nullopt while it
  // still runs after timeoutMs.
  std::optional<int> WaitExit(int timeoutMs = 5000);
  // Threads and resident memory, from /proc (zeros once it has ended).
  struct Footprint {
    int threads = 0;
    long rssKb = 0;
  };
  Footprint Measure() const;
  // When the process was started (its output's times count from about then).
  std::chrono::steady_clock::time_point Started() const { return started_; }

  // The event word of an output line, and the value of one of its keys
  // ("" when it has none).
  static std::string Word(const std::string& line);
  static std::string Value(const std::string& line, const std::string& key);

 private:
  void Read();

  ScratchDir dir_;
  int out_ = -1;
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string partial_;
  std::vector<std::string> lines_;
  std::vector<std::string> words_;  // of lines_, found once
  size_t newFrom_ = 0;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace dialvo::test
