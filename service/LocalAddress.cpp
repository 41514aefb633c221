#include "service/LocalAddress.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "base/Tick.h"
#include "base/UdpSocket.h"
#include "service/ServiceAddress.h"
#include "service/ServiceRequests.h"

namespace dialvo {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

class TcpSocket {
 public:
  TcpSocket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~TcpSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  bool Valid() const { return fd_ >= 0; }

  bool Bind(uint32_t ip) {
    const sockaddr_in local = SockAddr{ip, 0}.ToSockaddr();
    return ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
  }

  // A blocking connect bounded by timeoutMs, or until cancelled says so;
  // nothing is sent.
  bool Connect(const SockAddr& to, uint32_t timeoutMs, const std::function<bool()>& cancelled) {
    static constexpr uint32_t kStepMs = 50;
    const int flags = ::fcntl(fd_, F_GETFL);
    ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    const sockaddr_in remote = to.ToSockaddr();
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0) {
      return true;
    }
    if (errno != EINPROGRESS) return false;
    pollfd p{fd_, POLLOUT, 0};
    const uint32_t start = GetTickCount();
    for (;;) {
      if (cancelled && cancelled()) return false;
      const uint32_t spent = GetTickCount() - start;
      if (spent >= timeoutMs) return false;
      const int n = ::poll(&p, 1, static_cast<int>(std::min(kStepMs, timeoutMs - spent)));
      if (n < 0 && errno != EINTR) return false;
      if (n > 0) break;
    }
    int error = 0;
    socklen_t len = sizeof error;
    return ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
  }

 private:
  int fd_;
};

}  // namespace

bool IsPrivateAddress(std::string_view dotted) {
  if (dotted == "127.0.0.1") return true;
  if (StartsWith(dotted, "10.") || StartsWith(dotted, "192.168.") ||
      StartsWith(dotted, "169.254.")) {
    return true;
  }
  if (!StartsWith(dotted, "172.")) return false;
  const std::string_view rest = dotted.substr(4);
  const int32_t second = LeadingNumber(rest.substr(0, rest.find('.')));
  return second >= 16 && second <= 31;
}

std::vector<std::string> HostAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    addresses.push_back(SockAddr::FromSockaddr(*in).IpText());
  }
  ::freeifaddrs(list);
  return addresses;
}

std::string GetLocalAddress(const NetworkSettings& settings, const LocalAddressProbe& probe) {
  std::string targetHost;
  uint32_t targetPort = 0;
  if (settings.useHttpProxy != 0) {
    targetHost = TrimBlanks(settings.httpProxyName);
    targetPort = settings.httpProxyPort;
  } else {
    const ServiceHost directory = ParseServiceHost(probe.directoryHost);
    targetHost = directory.host;
    targetPort = directory.port;
  }
  if (targetHost.empty() || targetPort == 0 || targetPort > 65535) return {};
  const std::optional<uint32_t> targetIp = ResolveHost(targetHost);
  if (!targetIp) return {};
  const SockAddr target{*targetIp, static_cast<uint16_t>(targetPort)};

  const std::vector<std::string> own =
      probe.hostAddresses ? probe.hostAddresses() : std::vector<std::string>{};
  for (const std::string& address : own) {
    if (IsPrivateAddress(address)) continue;
    const std::optional<uint32_t> ip = ParseIpv4(address);
    TcpSocket socket;
    if (!ip || !socket.Valid() || !socket.Bind(*ip)) return {};
    if (socket.Connect(target, probe.connectTimeoutMs, probe.cancelled)) return address;
  }
  TcpSocket socket;
  if (socket.Valid() && socket.Connect(target, probe.connectTimeoutMs, probe.cancelled)) {
    return kLanAddress;
  }
  return {};
}

std::optional<AddressStatus> AddressStatusFor(const NetworkSettings& settings,
                                              const std::string& localAddress) {
  using Firewall = AddressStatus::Firewall;
  if (localAddress.empty()) {
    return AddressStatus{
        settings.useHttpProxy != 0 ? "HTTP proxy not reachable" : "The server cannot be reached",
        Firewall::kUnchanged};
  }
  switch (settings.ipType) {
    case 0:
    case 4:
      if (localAddress == kLanAddress) return AddressStatus{"Behind firewall", Firewall::kBehind};
      return AddressStatus{"Your IP:" + localAddress, Firewall::kNotBehind};
    case 1:
      return AddressStatus{"Firewall IP: Auto", Firewall::kNotBehind};
    case 2:
      return AddressStatus{"Configured IP:" + settings.configuredIp, Firewall::kNotBehind};
    case 3:
      return AddressStatus{"Internal IP:" + settings.configuredIp, Firewall::kNotBehind};
    default:
      return std::nullopt;
  }
}

}  // namespace dialvo
