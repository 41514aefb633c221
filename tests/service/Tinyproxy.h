#pragma once
// A real HTTP proxy for the duration of a test: tinyproxy on 127.0.0.1 with
// a configuration of its own in the test's folder.
#include <cstdint>
#include <filesystem>

#include "tests/support/ChildProcess.h"

namespace dialvo::test {

class Tinyproxy {
 public:
  explicit Tinyproxy(const std::filesystem::path& dir);

  // 0 when the proxy could not be started.
  uint16_t Port() const { return port_; }

 private:
  bool TryStart(const std::filesystem::path& dir, uint16_t port);

  ChildProcess process_;
  uint16_t port_ = 0;
};

}  // namespace dialvo::test
