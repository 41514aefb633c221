#include "base/UdpSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace dialvo {

SockAddr SockAddr::FromSockaddr(const sockaddr_in& sa) {
  return {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
}

sockaddr_in SockAddr::ToSockaddr() const {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(ip);
  sa.sin_port = htons(port);
  return sa;
}

std::string SockAddr::IpText() const {
  char text[INET_ADDRSTRLEN] = {};
  in_addr addr{htonl(ip)};
  inet_ntop(AF_INET, &addr, text, sizeof text);
  return text;
}

std::string SockAddr::ToString() const { return IpText() + ":" + std::to_string(port); }

std::optional<uint32_t> ParseIpv4(std::string_view dotted) {
  const std::string text(dotted);
  in_addr addr{};
  if (inet_pton(AF_INET, text.c_str(), &addr) != 1) return std::nullopt;
  return ntohl(addr.s_addr);
}

std::optional<uint32_t> ResolveHost(const std::string& host) {
  if (auto ip = ParseIpv4(host)) return ip;
  if (host.empty()) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
    return std::nullopt;
  }
  sockaddr_in sa{};
  std::memcpy(&sa, result->ai_addr, sizeof sa);
  freeaddrinfo(result);
  return ntohl(sa.sin_addr.s_addr);
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : fd_(other.fd_), lastError_(other.lastError_) {
  other.fd_ = -1;
}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    lastError_ = other.lastError_;
    other.fd_ = -1;
  }
  return *this;
}

bool UdpSocket::Open() {
  Close();
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) lastError_ = errno;
  return fd_ >= 0;
}

bool UdpSocket::Bind(const SockAddr& local) {
  const sockaddr_in sa = local.ToSockaddr();
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return true;
  lastError_ = errno;
  return false;
}

bool UdpSocket::Connect(const SockAddr& remote) {
  const sockaddr_in sa = remote.ToSockaddr();
  if (connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return true;
  lastError_ = errno;
  return false;
}

void UdpSocket::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::optional<SockAddr> UdpSocket::LocalName() const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return std::nullopt;
  }
  return SockAddr::FromSockaddr(sa);
}

bool UdpSocket::SendTo(std::span<const uint8_t> bytes, const SockAddr& to) {
  const sockaddr_in sa = to.ToSockaddr();
  ssize_t n;
  do {
    n = sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(bytes.size())) return true;
  lastError_ = n < 0 ? errno : EMSGSIZE;
  return false;
}

bool UdpSocket::Send(std::span<const uint8_t> bytes) {
  ssize_t n;
  do {
    n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(bytes.size())) return true;
  lastError_ = n < 0 ? errno : EMSGSIZE;
  return false;
}

UdpSocket::Received UdpSocket::ReceiveFrom(std::span<uint8_t> buffer, uint32_t timeoutMs) {
  Received result;
  if (fd_ < 0) {
    result.error = lastError_ = EBADF;
    return result;
  }
  pollfd pfd{fd_, POLLIN, 0};
  int ready;
  do {
    ready = poll(&pfd, 1, static_cast<int>(timeoutMs));
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    result.error = lastError_ = errno;
    return result;
  }
  if (ready == 0) {
    result.status = Status::kTimeout;
    return result;
  }
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ssize_t n;
  do {
    n = recvfrom(fd_, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT,
                 reinterpret_cast<sockaddr*>(&sa), &len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      result.status = Status::kTimeout;
      return result;
    }
    result.error = lastError_ = errno;
    return result;
  }
  result.from = SockAddr::FromSockaddr(sa);
  result.size = static_cast<size_t>(n);
  result.status = result.size > buffer.size() ? Status::kTooLarge : Status::kOk;
  if (result.status == Status::kTooLarge) lastError_ = EMSGSIZE;
  return result;
}

int WaitReadable(std::span<const int> fds, uint32_t timeoutMs, std::vector<bool>& ready) {
  std::vector<pollfd> pfds;
  pfds.reserve(fds.size());
  for (int fd : fds) pfds.push_back({fd, POLLIN, 0});
  ready.assign(fds.size(), false);
  int n;
  do {
    n = poll(pfds.data(), pfds.size(), static_cast<int>(timeoutMs));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return n;
  for (size_t i = 0; i < pfds.size(); ++i) {
    ready[i] = (pfds[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
  }
  return n;
}

}  // namespace dialvo
