#pragma once
// A dialvo-cli process whose output (stdout and stderr) goes to a file and
// is read back line by line as it grows: for tests and benchmarks that watch
// clients for long or measure them from outside.
#include <chrono>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace dialvo::test {

class CliClient {
 public:
  CliClient(const std::string& program, const std::string& outputFile,
            const std::vector<std::string>& args);

  // The lines completed since the last call.
  std::vector<std::string> NewLines();
  // Threads and resident memory, from /proc (zeros once it has ended).
  struct Footprint {
    int threads = 0;
    long rssKb = 0;
  };
  Footprint Measure() const;
  // Nothing once it has ended.
  void Signal(int signal);
  bool Running() { return child_.Running(); }
  std::chrono::steady_clock::time_point Started() const { return started_; }

  // The event word of an output line, and the value of one of its keys
  // ("" when it has none).
  static std::string Word(const std::string& line);
  static std::string Value(const std::string& line, const std::string& key);

 private:
  std::string output_;
  ChildProcess child_;
  size_t offset_ = 0;
  std::string partial_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace dialvo::test
