#pragma once
// IPv4 addresses and UDP sockets over POSIX. Errors are reported with the
// platform's errno; ECONNREFUSED is what a connected UDP socket reports after
// an ICMP port-unreachable (the peer's socket is gone).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct sockaddr_in;

namespace dialvo {

// An IPv4 socket address; ip and port in host byte order.
struct SockAddr {
  uint32_t ip = 0;
  uint16_t port = 0;

  static SockAddr Loopback(uint16_t port) { return {0x7F000001u, port}; }
  static SockAddr Any(uint16_t port) { return {0, port}; }
  static SockAddr FromSockaddr(const sockaddr_in& sa);
  sockaddr_in ToSockaddr() const;

  std::string IpText() const;    // "a.b.c.d"
  std::string ToString() const;  // "a.b.c.d:port"
  bool IsLoopback() const { return (ip >> 24) == 127; }
  friend bool operator==(const SockAddr&, const SockAddr&) = default;
};

// A dotted IPv4 address, or nullopt.
std::optional<uint32_t> ParseIpv4(std::string_view dotted);
// A dotted address, or else the first IPv4 address of a host name lookup.
std::optional<uint32_t> ResolveHost(const std::string& host);

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket() { Close(); }
  UdpSocket(UdpSocket&& other) noexcept;
  UdpSocket& operator=(UdpSocket&& other) noexcept;
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Creates the socket (closing any previous one).
  bool Open();
  bool Bind(const SockAddr& local);
  bool Connect(const SockAddr& remote);
  void Close();
  bool IsValid() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // The address the socket is bound to (after Bind, Connect or a first send).
  std::optional<SockAddr> LocalName() const;

  // True when the whole datagram was accepted.
  bool SendTo(std::span<const uint8_t> bytes, const SockAddr& to);
  // On a connected socket.
  bool Send(std::span<const uint8_t> bytes);

  enum class Status { kOk, kTimeout, kTooLarge, kError };
  struct Received {
    Status status = Status::kError;
    size_t size = 0;  // bytes in the buffer (kOk); the datagram's real size (kTooLarge)
    SockAddr from;
    int error = 0;  // errno for kError
  };
  // Waits up to timeoutMs (0: only what is there now) and receives one
  // datagram. A datagram larger than the buffer is kTooLarge and consumed.
  Received ReceiveFrom(std::span<uint8_t> buffer, uint32_t timeoutMs);

  // errno of the last failed call on this socket.
  int LastError() const { return lastError_; }

 private:
  int fd_ = -1;
  int lastError_ = 0;
};

// Waits up to timeoutMs until one of the sockets is readable. Returns the
// number of readable ones (ready[i] says which), 0 on time-out, -1 on error.
int WaitReadable(std::span<const int> fds, uint32_t timeoutMs, std::vector<bool>& ready);

}  // namespace dialvo
