#include "tests/service/Tinyproxy.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "base/UdpSocket.h"
#include "tests/support/LoopbackPorts.h"
#include "tests/support/Wait.h"

namespace dialvo::test {

namespace {

bool Accepts(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in addr = SockAddr::Loopback(port).ToSockaddr();
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

Tinyproxy::Tinyproxy(const std::filesystem::path& dir) {
  // The port is chosen before tinyproxy binds it; another process may take
  // it in between, so try a few.
  for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
    const uint16_t port = UnusedLoopbackPort();
    if (port != 0 && TryStart(dir, port)) port_ = port;
  }
}

bool Tinyproxy::TryStart(const std::filesystem::path& dir, uint16_t port) {
  const std::filesystem::path conf = dir / "tinyproxy.conf";
  std::ofstream(conf) << "Port " << port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 8\n"
                      << "Allow 127.0.0.1\nLogLevel Critical\n";
  // It gives up at once when the port is taken: no use waiting then.
  const bool up = process_.Start({"tinyproxy", "-d", "-c", conf.string()}) &&
                  WaitFor([&] { return !process_.Running() || Accepts(port); }, 5000);
  if (up && process_.Running()) return true;
  process_.Stop();
  return false;
}

}  // namespace dialvo::test
