#pragma once
// A real HTTP proxy for the duration of a test: tinyproxy on 127.0.0.1 with
// a configuration of its own in the test's folder.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>

namespace dialvo::test {

class Tinyproxy {
 public:
  explicit Tinyproxy(const std::filesystem::path& dir);
  ~Tinyproxy();
  Tinyproxy(const Tinyproxy&) = delete;
  Tinyproxy& operator=(const Tinyproxy&) = delete;

  // 0 when the proxy could not be started.
  uint16_t Port() const { return port_; }

 private:
  bool TryStart(const std::filesystem::path& dir, uint16_t port);
  void Kill();

  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

// A loopback port that nothing listened on a moment ago.
uint16_t UnusedLoopbackPort();

}  // namespace dialvo::test
