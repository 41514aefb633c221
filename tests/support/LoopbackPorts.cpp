#include "tests/support/LoopbackPorts.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/UdpSocket.h"

namespace dialvo::test {

int LoopbackTcpSocket(bool listening, uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = SockAddr::Loopback(0).ToSockaddr();
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      (listening && ::listen(fd, 16) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = SockAddr::FromSockaddr(addr).port;
  return fd;
}

uint16_t UnusedLoopbackPort() {
  uint16_t port = 0;
  const int fd = LoopbackTcpSocket(false, &port);
  if (fd >= 0) ::close(fd);
  return port;
}

uint16_t UnusedUdpPort() {
  UdpSocket socket;
  if (!socket.Open() || !socket.Bind(SockAddr::Loopback(0))) return 0;
  return socket.LocalName().value_or(SockAddr{}).port;
}

}  // namespace dialvo::test
