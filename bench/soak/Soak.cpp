// A long call between two dialvo-cli processes through the impairment relay
// (5 % loss and 40 ms jitter each way): every minute it prints the one-way
// delay (median), the blocks lost, the deepest jitter queue seen, and the
// resident memory and threads of both clients; at the end the first and
// the last minute are compared. Usage: dialvo-soak [--minutes N] [--seed S]
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/wire/Message.h"
#include "tests/support/CliClient.h"
#include "tests/support/NetSim.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/WavMaker.h"

namespace {

using dialvo::test::Direction;
using Steady = std::chrono::steady_clock;

using dialvo::test::CliClient;

std::string Word(const std::string& line) { return CliClient::Word(line); }
std::string Value(const std::string& line, const std::string& key) {
  return CliClient::Value(line, key);
}
long long Ms(const std::string& line) { return std::atoll(line.c_str()); }

struct Minute {
  long long medianDelayMs = -1;
  uint64_t unsent = 0;
  unsigned long long lost = 0;
  unsigned long queueMax = 0;
  CliClient::Footprint alice;
  CliClient::Footprint bob;
};

long long Median(std::vector<long long>& v) {
  if (v.empty()) return -1;
  std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int minutes = 30;
  unsigned long long seed = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--minutes") {
      minutes = std::atoi(argv[i + 1]);
    } else if (arg == "--seed") {
      seed = std::strtoull(argv[i + 1], nullptr, 10);
    }
  }
  if (minutes < 1 || argc % 2 == 0) {
    std::fprintf(stderr, "Usage: dialvo-soak [--minutes N] [--seed S]\n");
    return 2;
  }
  const dialvo::test::ScratchDir scratch;
  const std::string& dir = scratch.Path();
  if (dir.empty()) return 1;
  dialvo::test::ToneSpec tone;
  tone.hz = 440;
  tone.seconds = 2;
  tone.volume = 0.3;
  std::string error;
  if (!dialvo::test::MakeToneWav(dir + "/tone.wav", tone, &error)) {
    std::fprintf(stderr, "dialvo-soak: %s\n", error.c_str());
    return 1;
  }
  // Keep-alives every 2.5 s: the round trips report bob's jitter queue.
  const std::vector<std::string> common{"--port", "0", "--liveness", "20000"};
  std::vector<std::string> args = common;
  args.insert(args.end(), {"--user", "bob", "--rec-file", dir + "/bob.wav"});
  CliClient bob(args);
  const std::string bobPort = Value(bob.WaitWord("LISTENING").value_or(""), "port");
  if (bobPort.empty()) return 1;
  dialvo::test::NetSim relay(static_cast<uint16_t>(std::stoi(bobPort)), seed);
  // The sequence numbers bob takes, in order, as the relay delivers them,
  // and when alice sent each (ms after bob's start).
  std::mutex mutex;
  std::vector<std::pair<uint32_t, long long>> taken;
  uint32_t last = 0;
  uint32_t top = 0;  // the highest number sent, lost or not
  relay.SetTap([&](const dialvo::test::NetSim::Seen& seen) {
    const auto dg = dialvo::wire::ValidateDatagram(seen.bytes);
    if (seen.direction != Direction::kAtoB || !dg || dg->type != dialvo::wire::MSG_VOICE) return;
    const uint32_t s = dialvo::wire::ReadSequenceTrailer(*dg).sequence;
    const auto sent = Steady::now() - std::chrono::microseconds(seen.heldUs);
    std::lock_guard lock(mutex);
    top = std::max(top, s);
    if (!seen.passed) return;
    if (s - last == 0 || s - last > 1000) return;
    taken.emplace_back(
        s, std::chrono::duration_cast<std::chrono::milliseconds>(sent - bob.Started()).count());
    last = s;
  });
  dialvo::test::Impairment bad;
  bad.lossPercent = 5;
  bad.jitterMs = 40;
  relay.SetBoth(bad);
  if (!relay.Start()) return 1;
  args = common;
  args.insert(args.end(), {"--user", "alice", "--play-file", dir + "/tone.wav", "--loop", "--call",
                           "127.0.0.1:" + std::to_string(relay.FrontPort())});
  CliClient alice(args);
  // delay_ms: one way, from a block's going on the wire at alice to the
  // start of its playing at bob. lost: blocks bob counted lost. unsent:
  // blocks alice captured and has not sent, at the minute's end (a few on
  // their way through her own loop; more once it dropped some).
  std::printf(
      "minute  delay_ms  lost  unsent  queue_max  alice_rss_kB  alice_threads  "
      "bob_rss_kB  bob_threads\n");
  std::fflush(stdout);
  uint64_t captured = 0;
  size_t played = 0;  // bob's playouts after the first (silent) one
  std::vector<Minute> report;
  const auto start = Steady::now();
  for (int m = 1; m <= minutes; ++m) {
    Minute now;
    std::vector<long long> delays;
    while (Steady::now() < start + std::chrono::minutes(m)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      captured = alice.Lines("EV_CAPTURE_BUFFER").size();
      for (const std::string& l : bob.NewLines()) {
        const std::string w = Word(l);
        if (w == "EV_PACKET_GAP") now.lost += std::stoull(Value(l, "gap")) - 1;
        if (w == "EV_ROUND_TRIP")
          now.queueMax = std::max(now.queueMax, std::stoul(Value(l, "queued")));
        if (w != "EV_PLAYOUT_BUFFER") continue;
        if (played++ == 0) continue;
        std::lock_guard lock(mutex);
        if (played - 2 >= taken.size()) continue;
        // It starts playing once the block ahead of it has played.
        delays.push_back(Ms(l) + 200 - taken[played - 2].second);
      }
    }
    now.medianDelayMs = Median(delays);
    {
      std::lock_guard lock(mutex);
      now.unsent = captured > top ? captured - top : 0;
    }
    now.alice = alice.Measure();
    now.bob = bob.Measure();
    report.push_back(now);
    std::printf("%6d  %8lld  %4llu  %6llu  %9lu  %12ld  %13d  %10ld  %11d\n", m, now.medianDelayMs,
                now.lost, static_cast<unsigned long long>(now.unsent), now.queueMax,
                now.alice.rssKb, now.alice.threads, now.bob.rssKb, now.bob.threads);
    std::fflush(stdout);
  }
  alice.Signal(SIGINT);
  bob.Signal(SIGINT);
  alice.WaitExit();
  bob.WaitExit();
  relay.Stop();
  for (const std::string& l : bob.Lines("PEER_STATS")) {
    std::printf("bob:%s\n", l.substr(l.find(' ')).c_str());
  }
  const dialvo::test::NetSimCounts ab = relay.Counts(Direction::kAtoB);
  std::printf("relay A->B: %llu datagrams, %llu lost\n", static_cast<unsigned long long>(ab.seen),
              static_cast<unsigned long long>(ab.lost));
  const Minute& first = report.front();
  const Minute& end = report.back();
  // Same threads; memory and delay within what a minute's noise moves.
  const bool steady =
      first.alice.threads == end.alice.threads && first.bob.threads == end.bob.threads &&
      end.alice.rssKb <= first.alice.rssKb + 1024 && end.bob.rssKb <= first.bob.rssKb + 1024 &&
      end.medianDelayMs <= first.medianDelayMs + 100;
  std::printf("minute 1 against minute %d: %s\n", minutes, steady ? "no growth" : "GROWTH");
  return steady ? 0 : 1;
}
