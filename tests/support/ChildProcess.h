#pragma once
// Programs a test starts itself: run one to its end, or keep one running
// (a server) and end it when the test is done.
#include <sys/types.h>

#include <string>
#include <vector>

namespace dialvo::test {

// Runs argv[0] (looked up in PATH) with extra "NAME=value" settings added
// to the environment and its output appended to outputFile. Returns its exit
// status, or -1 when it could not be started or was killed.
int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
               const std::string& outputFile = "/dev/null");
// Starts it as RunProgram does, its stderr to errorFile (empty: with the
// rest of the output); -1 when it could not be started.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
            const std::string& outputFile, const std::string& errorFile = "");

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // As RunProgram, but returns once the program has started.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
             const std::string& outputFile = "/dev/null");
  // SIGTERM, then SIGKILL if it has not ended within two seconds; waits.
  // Its exit status, -1 when it was killed or not running.
  int Stop();
  // SIGKILL at once, as a crash would end it; waits.
  void Kill();
  // False once it has ended.
  bool Running();
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

}  // namespace dialvo::test
