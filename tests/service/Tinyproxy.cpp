#include "tests/service/Tinyproxy.h"

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/support/Wait.h"

extern char** environ;

namespace dialvo::test {

namespace {

bool Accepts(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

uint16_t UnusedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

Tinyproxy::Tinyproxy(const std::filesystem::path& dir) {
  // The port is chosen before tinyproxy binds it; another process may take
  // it in between, so try a few.
  for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
    const uint16_t port = UnusedLoopbackPort();
    if (port != 0 && TryStart(dir, port)) port_ = port;
  }
}

Tinyproxy::~Tinyproxy() { Kill(); }

bool Tinyproxy::TryStart(const std::filesystem::path& dir, uint16_t port) {
  const std::filesystem::path conf = dir / "tinyproxy.conf";
  std::ofstream(conf) << "Port " << port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 8\n"
                      << "Allow 127.0.0.1\nLogLevel Critical\n";
  const std::string confPath = conf.string();
  char* argv[] = {const_cast<char*>("tinyproxy"), const_cast<char*>("-d"), const_cast<char*>("-c"),
                  const_cast<char*>(confPath.c_str()), nullptr};
  if (::posix_spawnp(&pid_, "tinyproxy", nullptr, nullptr, argv, environ) != 0) {
    pid_ = -1;
    return false;
  }
  const bool up = WaitFor(
      [&] {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
          pid_ = -1;
          return true;  // it gave up (port taken): stop waiting
        }
        return Accepts(port);
      },
      5000);
  if (up && pid_ > 0) return true;
  Kill();
  return false;
}

void Tinyproxy::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace dialvo::test
