#pragma once
// A dialvo-server process started by a test: its own database in a temporary
// folder, accounts made with its "user add" command, an ephemeral loopback
// port, and its request log.
#include <string>
#include <utility>
#include <vector>

#include "tests/settings/TempDir.h"
#include "tests/support/ChildProcess.h"

namespace dialvo::test {

class ServerProcess {
 public:
  using Account = std::pair<std::string, std::string>;  // name, password
  // keepAliveSec: the keep-alive period the service expects; a login
  // expires after three of them without one.
  ServerProcess(const std::vector<Account>& accounts, int keepAliveSec);

  // "127.0.0.1:PORT", or empty when the service did not start.
  const std::string& HostPort() const { return hostPort_; }
  // Waits up to timeoutMs until count log lines contain text.
  bool WaitLog(const std::string& text, int timeoutMs = 5000, int count = 1);
  // The whole log lines so far that contain text.
  std::vector<std::string> LogLines(const std::string& text = {}) const;

 private:
  TempDir dir_;  // first: outlives the process
  ChildProcess process_;
  std::string hostPort_;
};

}  // namespace dialvo::test
