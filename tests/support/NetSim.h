#pragma once
// A UDP impairment relay on loopback: it stands between the callers (side
// A) and one callee (side B) like a full-cone NAT, with a relay port of its
// own for every far-end port it has seen, so that every socket of either
// side passes through it. Each direction loses, delays, jitters, reorders,
// duplicates and blacks out datagrams as told; the random choices are drawn
// from the seed, the same number for every datagram of a direction, so a
// seed gives the same fate to the nth datagram of each direction every time.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace dialvo::test {

enum class Direction { kAtoB = 0, kBtoA = 1 };

struct Impairment {
  double lossPercent = 0;
  // A burst starts with this chance and then loses burstLength datagrams in
  // a row (the one that started it included).
  double burstPercent = 0;
  uint32_t burstLength = 0;
  uint32_t delayMs = 0;
  uint32_t jitterMs = 0;  // an extra delay from 0 to this, evenly spread
  // A datagram held back until the next one of its direction has gone (or
  // for a second at most).
  double reorderPercent = 0;
  double duplicatePercent = 0;
};

struct NetSimCounts {
  uint64_t seen = 0;
  uint64_t lost = 0;  // randomly, in bursts or in a blackout
  uint64_t duplicated = 0;
  uint64_t reordered = 0;
  uint64_t delivered = 0;  // duplicates included
};

class NetSim {
 public:
  // What the tap sees of one datagram.
  struct Seen {
    Direction direction;
    std::span<const uint8_t> bytes;
    bool passed;      // false: lost
    uint64_t heldUs;  // how long the relay held it
  };
  // Sees datagrams on the relay's thread: those it passes on as they leave,
  // in the order they leave, and those it loses as it loses them.
  using Tap = std::function<void(const Seen&)>;

  // calleePort: the callee's port on 127.0.0.1. frontPort: the relay port
  // that stands for it (0: any free one).
  NetSim(uint16_t calleePort, uint64_t seed, uint16_t frontPort = 0);
  ~NetSim();
  NetSim(const NetSim&) = delete;
  NetSim& operator=(const NetSim&) = delete;

  // The port callers call instead of the callee's; 0 when it could not be
  // opened (the error says why).
  uint16_t FrontPort() const { return frontPort_; }
  const std::string& Error() const { return error_; }

  // Set before Start, or while it runs (from the next datagram on).
  void SetTap(Tap tap);
  void Set(Direction d, const Impairment& impairment);
  void SetBoth(const Impairment& impairment);
  // Loses everything in both directions for the next ms milliseconds.
  void Blackout(uint32_t ms);

  bool Start();
  void Stop();
  NetSimCounts Counts(Direction d) const;
  // Nothing delayed or held back waits to go.
  bool Drained() const;

 private:
  struct Endpoint {
    int fd = -1;  // the relay socket that stands for this endpoint
    int side = 0;
  };
  struct Pending {
    uint64_t dueUs;
    uint64_t arrivedUs;
    uint64_t order;
    int fromFd;
    uint16_t toPort;
    Direction direction;
    std::vector<uint8_t> bytes;
    bool operator>(const Pending& o) const {
      return dueUs != o.dueUs ? dueUs > o.dueUs : order > o.order;
    }
  };
  struct Way {
    Impairment impairment;
    std::mt19937_64 random;
    uint32_t burstLeft = 0;
    bool holding = false;  // a reordered datagram waits in held
    Pending held{};
    NetSimCounts counts;
  };

  void Run();
  Endpoint* EndpointFor(uint16_t port, int side);
  void OnDatagram(const Endpoint& to, uint16_t toPort, uint16_t fromPort,
                  std::span<const uint8_t> bytes);
  void Schedule(Pending p);
  void DeliverDue();

  const uint16_t calleePort_;
  uint16_t frontPort_ = 0;
  std::string error_;
  mutable std::mutex mutex_;
  Way ways_[2];
  uint64_t blackoutUntilUs_ = 0;
  Tap tap_;
  std::map<uint16_t, Endpoint> endpoints_;  // relay thread only, once started
  std::vector<Pending> queue_;              // a heap, earliest first
  uint64_t order_ = 0;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace dialvo::test
