#include "tests/support/CliClient.h"

#include <signal.h>

#include <fstream>
#include <sstream>

namespace dialvo::test {

CliClient::CliClient(const std::string& program, const std::string& outputFile,
                     const std::vector<std::string>& args)
    : output_(outputFile), started_(std::chrono::steady_clock::now()) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  child_.Start(argv, {}, output_);
}

std::vector<std::string> CliClient::NewLines() {
  std::ifstream in(output_, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset_));
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    partial_.append(buffer, static_cast<size_t>(in.gcount()));
    offset_ += static_cast<size_t>(in.gcount());
  }
  std::vector<std::string> lines;
  for (size_t eol; (eol = partial_.find('\n')) != std::string::npos; partial_.erase(0, eol + 1)) {
    lines.push_back(partial_.substr(0, eol));
  }
  return lines;
}

CliClient::Footprint CliClient::Measure() const {
  Footprint f;
  if (child_.Pid() <= 0) return f;
  std::ifstream in("/proc/" + std::to_string(child_.Pid()) + "/status");
  for (std::string key; in >> key;) {
    if (key == "Threads:") in >> f.threads;
    if (key == "VmRSS:") in >> f.rssKb;
  }
  return f;
}

void CliClient::Signal(int signal) {
  // Never kill(-1, ...): it would reach every process of the user.
  if (child_.Pid() > 0) kill(child_.Pid(), signal);
}

std::string CliClient::Word(const std::string& line) {
  std::istringstream in(line);
  std::string ms;
  std::string word;
  in >> ms >> word;
  return word;
}

std::string CliClient::Value(const std::string& line, const std::string& key) {
  std::istringstream in(line);
  for (std::string field; in >> field;) {
    if (field.starts_with(key + "=")) return field.substr(key.size() + 1);
  }
  return "";
}

}  // namespace dialvo::test
