#include "tests/cli/ServerProcess.h"

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/support/Wait.h"

namespace dialvo::test {

namespace {

std::string Program() {
  const char* dir = std::getenv("DIALVO_BIN_DIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : DIALVO_TEST_BIN_DIR) + "/dialvo-server";
}

}  // namespace

ServerProcess::ServerProcess(const std::vector<Account>& accounts, int keepAliveSec) {
  const std::string db = (dir_ / "service.db").string();
  for (const auto& [name, password] : accounts) {
    if (RunProgram({Program(), "--db", db, "user", "add", name, password}) != 0) return;
  }
  if (!process_.Start({Program(), "--db", db, "--listen", "127.0.0.1:0", "--keepalive",
                       std::to_string(keepAliveSec), "--threads", "4"},
                      {}, (dir_ / "service.log").string()) ||
      !WaitLog("serving on 127.0.0.1:", 10000)) {
    return;
  }
  std::smatch match;
  const std::string line = LogLines("serving on")[0];
  if (std::regex_search(line, match, std::regex("serving on (127\\.0\\.0\\.1:\\d+)"))) {
    hostPort_ = match[1];
  }
}

bool ServerProcess::WaitLog(const std::string& text, int timeoutMs, int count) {
  return WaitFor([&] { return static_cast<int>(LogLines(text).size()) >= count; }, timeoutMs);
}

std::vector<std::string> ServerProcess::LogLines(const std::string& text) const {
  std::ifstream file(dir_ / "service.log");
  std::stringstream log;
  log << file.rdbuf();
  std::vector<std::string> found;
  // Whole lines only: the last one may still be on its way.
  for (std::string line; std::getline(log, line);) {
    if (!log.eof() && line.find(text) != std::string::npos) found.push_back(line);
  }
  return found;
}

}  // namespace dialvo::test
