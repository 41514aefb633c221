#include "tests/cli/ServerProcess.h"

#include <cstdlib>
#include <regex>
#include <sstream>

#include "tests/support/ScratchDir.h"
#include "tests/support/Wait.h"

namespace dialvo::test {

std::string ServerProcess::Program() {
  const char* dir = std::getenv("DIALVO_BIN_DIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : DIALVO_TEST_BIN_DIR) + "/dialvo-server";
}

ServerProcess::ServerProcess(const std::vector<Account>& accounts, int keepAliveSec) {
  const std::string db = dir_.File("service.db");
  for (const auto& [name, password] : accounts) {
    if (RunProgram({Program(), "--db", db, "user", "add", name, password}) != 0) return;
  }
  Serve({"--db", db, "--keepalive", std::to_string(keepAliveSec), "--threads", "4"});
}

ServerProcess::ServerProcess(const std::vector<std::string>& options) { Serve(options); }

void ServerProcess::Serve(std::vector<std::string> options) {
  options.insert(options.begin(), {Program(), "--listen", "127.0.0.1:0"});
  if (!process_.Start(options, {}, dir_.File("service.log")) ||
      !WaitLog("serving on 127.0.0.1:", 10000)) {
    return;
  }
  std::smatch match;
  const std::string line = LogLines("serving on")[0];
  if (std::regex_search(line, match, std::regex("serving on (127\\.0\\.0\\.1:\\d+)"))) {
    hostPort_ = match[1];
  }
}

uint16_t ServerProcess::Port() const {
  return hostPort_.empty() ? 0 : static_cast<uint16_t>(std::stoi(hostPort_.substr(10)));
}

bool ServerProcess::WaitLog(const std::string& text, int timeoutMs, int count) {
  return WaitFor([&] { return static_cast<int>(LogLines(text).size()) >= count; }, timeoutMs);
}

std::string ServerProcess::Log() const { return ReadFile(dir_.File("service.log")); }

std::vector<std::string> ServerProcess::LogLines(const std::string& text) const {
  std::stringstream log(Log());
  std::vector<std::string> found;
  // Whole lines only: the last one may still be on its way.
  for (std::string line; std::getline(log, line);) {
    if (!log.eof() && line.find(text) != std::string::npos) found.push_back(line);
  }
  return found;
}

}  // namespace dialvo::test
