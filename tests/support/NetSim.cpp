#include "tests/support/NetSim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace dialvo::test {

namespace {

constexpr uint64_t kHoldLimitUs = 1000000;
constexpr size_t kMaxDatagram = 65536;

uint64_t NowUs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A non-blocking UDP socket on 127.0.0.1 (port 0: any free one); -1 on
// failure.
int OpenSocket(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in a = Loopback(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t PortOf(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

// A uniform draw in [0, 1).
double Draw(std::mt19937_64& random) { return std::generate_canonical<double, 53>(random); }

}  // namespace

NetSim::NetSim(uint16_t calleePort, uint64_t seed, uint16_t frontPort) : calleePort_(calleePort) {
  // One stream per direction: what one direction carries never moves the
  // other's choices.
  ways_[0].random.seed(seed * 2 + 1);
  ways_[1].random.seed(seed * 2 + 2);
  const int fd = OpenSocket(frontPort);
  if (fd < 0) {
    error_ = "cannot open the relay's port: " + std::string(std::strerror(errno));
    return;
  }
  frontPort_ = PortOf(fd);
  endpoints_[calleePort] = {fd, 1};
}

NetSim::~NetSim() {
  Stop();
  for (auto& [port, e] : endpoints_) close(e.fd);
}

void NetSim::SetTap(Tap tap) {
  std::lock_guard lock(mutex_);
  tap_ = std::move(tap);
}

void NetSim::Set(Direction d, const Impairment& impairment) {
  std::lock_guard lock(mutex_);
  ways_[static_cast<int>(d)].impairment = impairment;
}

void NetSim::SetBoth(const Impairment& impairment) {
  Set(Direction::kAtoB, impairment);
  Set(Direction::kBtoA, impairment);
}

void NetSim::Blackout(uint32_t ms) {
  std::lock_guard lock(mutex_);
  blackoutUntilUs_ = NowUs() + uint64_t{ms} * 1000;
}

NetSimCounts NetSim::Counts(Direction d) const {
  std::lock_guard lock(mutex_);
  return ways_[static_cast<int>(d)].counts;
}

bool NetSim::Drained() const {
  std::lock_guard lock(mutex_);
  return queue_.empty() && !ways_[0].holding && !ways_[1].holding;
}

bool NetSim::Start() {
  if (frontPort_ == 0 || thread_.joinable()) return false;
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error_ = "cannot make the relay's wake pipe";
    return false;
  }
  stop_.store(false);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void NetSim::Stop() {
  if (!thread_.joinable()) return;
  stop_.store(true);
  const char byte = 0;
  if (write(wake_[1], &byte, 1) < 0) {
    // The pipe is full: the thread is awake anyway.
  }
  thread_.join();
  close(wake_[0]);
  close(wake_[1]);
  wake_[0] = wake_[1] = -1;
}

NetSim::Endpoint* NetSim::EndpointFor(uint16_t port, int side) {
  if (auto it = endpoints_.find(port); it != endpoints_.end()) return &it->second;
  const int fd = OpenSocket(0);
  if (fd < 0) return nullptr;
  return &(endpoints_[port] = {fd, side});
}

void NetSim::Run() {
  std::vector<uint8_t> buffer(kMaxDatagram);
  std::vector<pollfd> fds;
  std::vector<uint16_t> ports;
  while (!stop_.load()) {
    fds.assign(1, {wake_[0], POLLIN, 0});
    ports.assign(1, 0);
    for (const auto& [port, e] : endpoints_) {
      fds.push_back({e.fd, POLLIN, 0});
      ports.push_back(port);
    }
    int timeoutMs = 100;
    {
      std::lock_guard lock(mutex_);
      uint64_t next = queue_.empty() ? UINT64_MAX : queue_.front().dueUs;
      for (const Way& w : ways_) {
        if (w.holding) next = std::min(next, w.held.dueUs + kHoldLimitUs);
      }
      if (next != UINT64_MAX) {
        const uint64_t now = NowUs();
        timeoutMs =
            next <= now ? 0 : static_cast<int>(std::min<uint64_t>(100, (next - now + 999) / 1000));
      }
    }
    if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) break;
    for (size_t i = 1; i < fds.size(); ++i) {
      if ((fds[i].revents & POLLIN) == 0) continue;
      // Read what is waiting; the map may grow meanwhile, the entry stays.
      const Endpoint to = endpoints_[ports[i]];
      for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(to.fd, buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) break;
        // Loopback only: anything else is not ours to pass on.
        if (from.sin_family != AF_INET || (ntohl(from.sin_addr.s_addr) >> 24) != 127) continue;
        OnDatagram(to, ports[i], ntohs(from.sin_port),
                   std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
      }
    }
    DeliverDue();
  }
}

void NetSim::OnDatagram(const Endpoint& to, uint16_t toPort, uint16_t fromPort,
                        std::span<const uint8_t> bytes) {
  const Endpoint* from = EndpointFor(fromPort, 1 - to.side);
  if (from == nullptr || from->side == to.side) return;
  const Direction d = to.side == 1 ? Direction::kAtoB : Direction::kBtoA;
  std::lock_guard lock(mutex_);
  Way& w = ways_[static_cast<int>(d)];
  const Impairment& m = w.impairment;
  // Every datagram draws the same numbers, whatever becomes of it.
  const double loss = Draw(w.random);
  const double burst = Draw(w.random);
  const double jitter = Draw(w.random);
  const double reorder = Draw(w.random);
  const double duplicate = Draw(w.random);
  const uint64_t now = NowUs();
  ++w.counts.seen;
  bool lost = now < blackoutUntilUs_ || loss * 100 < m.lossPercent;
  if (w.burstLeft > 0) {
    --w.burstLeft;
    lost = true;
  } else if (m.burstLength > 0 && burst * 100 < m.burstPercent) {
    w.burstLeft = m.burstLength - 1;
    lost = true;
  }
  if (lost) {
    ++w.counts.lost;
    if (tap_) tap_({d, bytes, false, 0});
    return;
  }
  Pending p;
  p.arrivedUs = now;
  p.dueUs = now + uint64_t{m.delayMs} * 1000 +
            static_cast<uint64_t>(jitter * static_cast<double>(m.jitterMs) * 1000);
  p.fromFd = from->fd;
  p.toPort = toPort;
  p.direction = d;
  p.bytes.assign(bytes.begin(), bytes.end());
  const bool twice = duplicate * 100 < m.duplicatePercent;
  if (!w.holding && reorder * 100 < m.reorderPercent) {
    ++w.counts.reordered;
    w.held = std::move(p);
    w.holding = true;
    if (twice) {
      ++w.counts.duplicated;
      Pending copy = w.held;
      Schedule(std::move(copy));
    }
    return;
  }
  if (twice) {
    ++w.counts.duplicated;
    Schedule(p);
  }
  const uint64_t due = p.dueUs;
  Schedule(std::move(p));
  if (w.holding) {
    // It follows the one that overtook it.
    w.holding = false;
    w.held.dueUs = std::max(w.held.dueUs, due);
    Schedule(std::move(w.held));
  }
}

void NetSim::Schedule(Pending p) {
  p.order = order_++;
  queue_.push_back(std::move(p));
  std::push_heap(queue_.begin(), queue_.end(), std::greater<>());
}

void NetSim::DeliverDue() {
  std::lock_guard lock(mutex_);
  const uint64_t now = NowUs();
  for (Way& w : ways_) {
    if (w.holding && now >= w.held.dueUs + kHoldLimitUs) {
      w.holding = false;
      Schedule(std::move(w.held));
    }
  }
  while (!queue_.empty() && queue_.front().dueUs <= now) {
    std::pop_heap(queue_.begin(), queue_.end(), std::greater<>());
    Pending p = std::move(queue_.back());
    queue_.pop_back();
    const sockaddr_in to = Loopback(p.toPort);
    // A full socket buffer loses the datagram, as a network would; the tap
    // sees only what went.
    if (sendto(p.fromFd, p.bytes.data(), p.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) < 0) {
      continue;
    }
    ++ways_[static_cast<int>(p.direction)].counts.delivered;
    if (tap_) tap_({p.direction, p.bytes, true, now - p.arrivedUs});
  }
}

}  // namespace dialvo::test
