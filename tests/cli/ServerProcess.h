#pragma once
// A dialvo-server process started by a test: its own database in a temporary
// folder, accounts made with its "user add" command, an ephemeral loopback
// port, and its request log.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/ScratchDir.h"

namespace dialvo::test {

class ServerProcess {
 public:
  using Account = std::pair<std::string, std::string>;  // name, password
  // keepAliveSec: the keep-alive period the service expects; a login
  // expires after three of them without one.
  ServerProcess(const std::vector<Account>& accounts, int keepAliveSec);
  // Serves with these options (a --db of the caller's among them) and no
  // accounts of its own.
  explicit ServerProcess(const std::vector<std::string>& options);

  // The program's path.
  static std::string Program();

  // "127.0.0.1:PORT", or empty when the service did not start.
  const std::string& HostPort() const { return hostPort_; }
  uint16_t Port() const;
  // Waits up to timeoutMs until count log lines contain text.
  bool WaitLog(const std::string& text, int timeoutMs = 5000, int count = 1);
  // The whole log lines so far that contain text.
  std::vector<std::string> LogLines(const std::string& text = {}) const;
  // The whole log, the last line too.
  std::string Log() const;
  // SIGTERM; the exit status, -1 when it had to be killed.
  int Stop() { return process_.Stop(); }
  void Kill() { process_.Kill(); }

 private:
  void Serve(std::vector<std::string> options);

  ScratchDir dir_;  // first: outlives the process
  ChildProcess process_;
  std::string hostPort_;
};

}  // namespace dialvo::test
