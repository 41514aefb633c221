// dialvo-netsim: the impairment relay by hand. Callers call the relay's
// port instead of the callee's; it runs until SIGINT or SIGTERM and then
// prints what it did to each direction.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "tests/support/NetSim.h"

namespace {

constexpr const char* kUsage =
    "Usage: dialvo-netsim --to PORT [--port N] [--seed S] [DIRECTION] [IMPAIRMENT ...]\n"
    "Relays UDP between callers and the callee at 127.0.0.1:PORT, on loopback only,\n"
    "like a full-cone NAT: callers call 127.0.0.1:N (--port, default any free port,\n"
    "printed as RELAY port=N).\n"
    "Impairments apply to the directions named last before them: --ab (callers to\n"
    "callee), --ba (back) or --both (the default):\n"
    "  --loss PERCENT        lose datagrams at random\n"
    "  --burst PERCENT:LEN   start a burst of LEN lost datagrams with this chance\n"
    "  --delay MS            fixed delay\n"
    "  --jitter MS           extra delay, evenly spread from 0 to MS\n"
    "  --reorder PERCENT     hold a datagram back until the next one has gone\n"
    "  --duplicate PERCENT   send a datagram twice\n"
    "  --blackout AT:MS      lose everything, both ways, MS ms from AT ms after start\n"
    "The same seed (default 1) gives every nth datagram of a direction the same fate.\n";

volatile std::sig_atomic_t stopSignal = 0;

void OnSignal(int) { stopSignal = 1; }

bool Number(std::string_view text, double& out) {
  if (text.empty()) return false;
  const std::string s(text);
  char* end = nullptr;
  out = std::strtod(s.c_str(), &end);
  return *end == '\0' && out >= 0;
}

// "A:B" into two numbers.
bool Pair(std::string_view text, double& a, double& b) {
  const size_t colon = text.find(':');
  return colon != std::string_view::npos && Number(text.substr(0, colon), a) &&
         Number(text.substr(colon + 1), b);
}

int Bad(const std::string& message) {
  std::fprintf(stderr, "dialvo-netsim: %s\n%s", message.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using dialvo::test::Direction;
  double to = 0;
  double port = 0;
  double seed = 1;
  double blackoutAt = 0;
  double blackoutMs = 0;
  dialvo::test::Impairment ways[2];
  bool ab = true;
  bool ba = true;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--ab" || arg == "--ba" || arg == "--both") {
      ab = arg != "--ba";
      ba = arg != "--ab";
      continue;
    }
    if (i + 1 >= argc) return Bad(std::string(arg) + " needs a value");
    const std::string_view v = argv[++i];
    double x = 0;
    double y = 0;
    const bool pair = arg == "--burst" || arg == "--blackout";
    if (pair ? !Pair(v, x, y) : !Number(v, x)) {
      return Bad(std::string(arg) + ": '" + std::string(v) + "' is not a valid value");
    }
    for (int d = 0; d < 2; ++d) {
      if ((d == 0 && !ab) || (d == 1 && !ba)) continue;
      dialvo::test::Impairment& m = ways[d];
      if (arg == "--loss") {
        m.lossPercent = x;
      } else if (arg == "--burst") {
        m.burstPercent = x;
        m.burstLength = static_cast<uint32_t>(y);
      } else if (arg == "--delay") {
        m.delayMs = static_cast<uint32_t>(x);
      } else if (arg == "--jitter") {
        m.jitterMs = static_cast<uint32_t>(x);
      } else if (arg == "--reorder") {
        m.reorderPercent = x;
      } else if (arg == "--duplicate") {
        m.duplicatePercent = x;
      }
    }
    if (arg == "--to") {
      to = x;
    } else if (arg == "--port") {
      port = x;
    } else if (arg == "--seed") {
      seed = x;
    } else if (arg == "--blackout") {
      blackoutAt = x;
      blackoutMs = y;
    } else if (arg != "--loss" && arg != "--burst" && arg != "--delay" && arg != "--jitter" &&
               arg != "--reorder" && arg != "--duplicate") {
      return Bad("unknown option '" + std::string(arg) + "'");
    }
  }
  if (to < 1 || to > 65535 || port > 65535) return Bad("--to needs a port from 1 to 65535");
  dialvo::test::NetSim relay(static_cast<uint16_t>(to), static_cast<uint64_t>(seed),
                             static_cast<uint16_t>(port));
  relay.Set(Direction::kAtoB, ways[0]);
  relay.Set(Direction::kBtoA, ways[1]);
  if (!relay.Start()) {
    std::fprintf(stderr, "dialvo-netsim: %s\n", relay.Error().c_str());
    return 1;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::printf("RELAY port=%u to=%u\n", unsigned{relay.FrontPort()}, static_cast<unsigned>(to));
  std::fflush(stdout);
  const auto started = std::chrono::steady_clock::now();
  bool blackoutDone = blackoutMs <= 0;
  while (stopSignal == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    if (!blackoutDone && static_cast<double>(ms) >= blackoutAt) {
      relay.Blackout(static_cast<uint32_t>(blackoutMs));
      blackoutDone = true;
    }
  }
  relay.Stop();
  for (const Direction d : {Direction::kAtoB, Direction::kBtoA}) {
    const dialvo::test::NetSimCounts c = relay.Counts(d);
    std::printf(
        "%s seen=%llu lost=%llu duplicated=%llu reordered=%llu delivered=%llu\n",
        d == Direction::kAtoB ? "AB" : "BA", static_cast<unsigned long long>(c.seen),
        static_cast<unsigned long long>(c.lost), static_cast<unsigned long long>(c.duplicated),
        static_cast<unsigned long long>(c.reordered), static_cast<unsigned long long>(c.delivered));
  }
  return 0;
}
