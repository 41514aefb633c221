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

// A loopback port that nothing listened on a moment ago.
uint16_t UnusedLoopbackPort();
// A loopback UDP port that was free a moment ago.
uint16_t UnusedUdpPort();

}  // namespace dialvo::test
