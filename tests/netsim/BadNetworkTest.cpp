// Calls between dialvo-cli processes through the impairment relay: loss,
// jitter, reordering, duplicates and blackouts. The relay's tap tells what
// reached each side, so the figures the clients print and the sound they
// play are checked exactly against it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/WavFile.h"
#include "engine/Voice.h"
#include "engine/wire/Message.h"
#include "tests/support/CliClient.h"
#include "tests/support/NetSim.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/VoiceBlocks.h"
#include "tests/support/Wait.h"
#include "tests/support/WavMaker.h"

namespace dialvo::test {
namespace {

// Short, so that a blackout past it ends a call within seconds; keep-alives
// go out every 750 ms.
constexpr int kLivenessMs = 6000;
// Calls through the relay may take some seconds to set up or end.
constexpr int kCallMs = 20000;
// A client of the call.
class Party : public CliClient {
 public:
  Party(const std::string& name, std::vector<std::string> args)
      : CliClient(With(name, std::move(args))) {}

  std::string Port() { return Value(WaitWord("LISTENING", kCallMs).value_or(""), "port"); }
  // The PEER_STATS line for the peer of this name, of the first call.
  std::string Stats(const std::string& name) {
    for (const std::string& line : Lines("PEER_STATS")) {
      if (Value(line, "name") == name) return line;
    }
    return "";
  }
  // SIGINT: hang up and exit; true when it said so with status 0 and no
  // sanitizer of an instrumented build complained.
  bool Quit() {
    Signal(SIGINT);
    const bool ok = WaitExit(kCallMs) == 0;
    const std::vector<std::string> exit = Lines("EXIT");
    const std::string err = Stderr();
    return ok && exit.size() == 1 && exit[0].ends_with("status=0") &&
           err.find("Sanitizer") == std::string::npos &&
           err.find("runtime error:") == std::string::npos;
  }

 private:
  static std::vector<std::string> With(const std::string& name, std::vector<std::string> args) {
    args.insert(args.begin(),
                {"--port", "0", "--user", name, "--liveness", std::to_string(kLivenessMs)});
    return args;
  }
};

// The voice sequence numbers of each direction, in the order they reached
// the far side.
class VoiceLog {
 public:
  void Attach(NetSim& relay) {
    relay.SetTap([this](const NetSim::Seen& seen) {
      const auto dg = wire::ValidateDatagram(seen.bytes);
      if (!dg || dg->type != wire::MSG_VOICE) return;
      const wire::SequenceTrailer t = wire::ReadSequenceTrailer(*dg);
      if (t.state != wire::TrailerState::kPresent) return;
      const auto d = static_cast<int>(seen.direction);
      std::lock_guard lock(mutex_);
      top_[d] = std::max(top_[d], t.sequence);
      if (seen.passed) seqs_[d].push_back(t.sequence);
    });
  }
  std::vector<uint32_t> Seqs(Direction d) {
    std::lock_guard lock(mutex_);
    return seqs_[static_cast<int>(d)];
  }
  // The highest number the relay has seen, passed on or lost.
  uint32_t Top(Direction d) {
    std::lock_guard lock(mutex_);
    return top_[static_cast<int>(d)];
  }

 private:
  std::mutex mutex_;
  std::vector<uint32_t> seqs_[2];
  uint32_t top_[2] = {0, 0};
};

// What the receiver must make of sequence numbers in arrival order: each
// number plays once, in order; one that is not ahead of the last taken
// (a duplicate, or late) is dropped; a jump counts the numbers skipped.
struct Arrival {
  std::vector<uint32_t> taken;
  std::vector<uint32_t> gaps;  // each jump: the step
  uint64_t lost = 0;
};

Arrival Expect(const std::vector<uint32_t>& seqs) {
  Arrival a;
  uint32_t last = 0;
  for (const uint32_t s : seqs) {
    const uint32_t step = s - last;
    if (step == 0 || step > 1000) continue;
    if (step > 1) {
      a.gaps.push_back(step);
      a.lost += step - 1;
    }
    a.taken.push_back(s);
    last = s;
  }
  return a;
}

// The gaps one client reported for one peer id.
std::vector<uint32_t> ReportedGaps(Party& p, const std::string& peer) {
  std::vector<uint32_t> gaps;
  for (const std::string& line : p.Lines("EV_PACKET_GAP")) {
    if (Party::Value(line, "peer") == peer) gaps.push_back(std::stoul(Party::Value(line, "gap")));
  }
  return gaps;
}

// What the callee must hear: the sent blocks through the sender's own
// loopback pass, encoded for the callee in sequence order and decoded in
// the order they were taken.
std::vector<Block> Audible(const std::vector<Block>& sent, const std::vector<uint32_t>& taken) {
  GsmStream loopback;
  Gsm encoder;
  std::vector<std::vector<uint8_t>> frames;
  frames.reserve(sent.size());
  for (const Block& b : sent) {
    frames.push_back(encoder.Encode(loopback.Pass(b)));
  }
  Gsm decoder;
  std::vector<Block> heard;
  for (const uint32_t s : taken) {
    if (s == 0 || s > frames.size()) continue;
    Block b = decoder.Decode(frames[s - 1]);
    if (!IsDigitalSilence(b)) heard.push_back(std::move(b));
  }
  return heard;
}

// The seeds of the rarer impairments strike several of the first fifty
// datagrams of a direction, so that some voice is hit whatever the timing.
struct Case {
  const char* name;
  Impairment impairment;
  uint32_t blackoutMs = 0;  // from the fifth voice block on
  uint64_t seed = 1;
};

// ctest shows the case by its name.
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class BadNetwork : public ::testing::TestWithParam<Case> {};

std::string SpeechFile(const ScratchDir& dir) {
  std::string error;
  std::string path = dir.File("speech.wav");
  EXPECT_TRUE(MakeSpeechWav(path,
                            "Hello Bob. This call goes through a bad network, and every word "
                            "that arrives must be the word that was sent.",
                            &error))
      << error;
  return path;
}

TEST_P(BadNetwork, CallCountsWhatWasLostAndPlaysWhatArrivedOnceInOrder) {
  const Case& c = GetParam();
  // Past the liveness limit and a check round: the call ends.
  const bool ends = c.blackoutMs > kLivenessMs;
  ScratchDir dir;
  const std::string speech = SpeechFile(dir);
  std::vector<int16_t> samples;
  ASSERT_TRUE(ReadWavFile(speech, samples, nullptr, nullptr));
  std::vector<Block> captured = Blocks(samples);
  captured.resize(captured.size() + 15, Block(kBlock, 0));
  const std::vector<Block> sent = SentBlocks(captured).blocks;

  Party bob("bob", {"--rec-file", dir.File("bob.wav")});
  const std::string bobPort = bob.Port();
  ASSERT_FALSE(bobPort.empty());
  NetSim relay(static_cast<uint16_t>(std::stoi(bobPort)), c.seed);
  VoiceLog log;
  log.Attach(relay);
  ASSERT_TRUE(relay.Start()) << relay.Error();
  Party alice("alice",
              {"--play-file", speech, "--call", "127.0.0.1:" + std::to_string(relay.FrontPort())});
  ASSERT_TRUE(bob.WaitWord("EV_PEER_JOINED", kCallMs)) << "no call";
  ASSERT_TRUE(alice.WaitWord("EV_PEER_JOINED", kCallMs));
  const auto aliceBefore = alice.Measure();
  const auto bobBefore = bob.Measure();
  relay.SetBoth(c.impairment);
  if (c.blackoutMs > 0) {
    ASSERT_TRUE(WaitFor([&] { return log.Seqs(Direction::kAtoB).size() >= 5; }, 10000));
    relay.Blackout(c.blackoutMs);
  }

  if (ends) {
    // Both notice the silence, end the call and listen again; a third party
    // can call either of them.
    ASSERT_TRUE(bob.WaitWord("LISTENING", 30000, 2)) << "bob's call did not end";
    ASSERT_TRUE(alice.WaitWord("LISTENING", 30000, 2)) << "alice's call did not end";
    EXPECT_EQ(bob.Lines("EV_CALL_ENDED").size(), 1u);
    EXPECT_EQ(alice.Lines("EV_CALL_ENDED").size(), 1u);
    Party carol("carol", {"--null-audio", "--call", "127.0.0.1:" + bobPort, "--call",
                          "127.0.0.1:" + Party::Value(alice.Lines("LISTENING")[1], "port")});
    EXPECT_TRUE(carol.WaitWord("EV_PEER_JOINED", kCallMs, 2)) << "carol could not call both";
    EXPECT_TRUE(carol.Quit());
  } else {
    // Everything was sent, and whatever the relay still held has arrived.
    ASSERT_TRUE(WaitFor([&] { return log.Top(Direction::kAtoB) >= sent.size(); }, 40000))
        << "the relay saw voice up to " << log.Top(Direction::kAtoB) << " of " << sent.size()
        << "; alice sent " << alice.Lines("EV_CAPTURE_BUFFER").size() << " blocks, "
        << alice.Lines("EV_CALL_ENDED").size() << " calls ended";
    relay.SetBoth({});
    ASSERT_TRUE(WaitFor([&] { return relay.Drained(); }, 5000));
    // The player writes a block out two blocks after it took it.
    const size_t audible = Audible(sent, Expect(log.Seqs(Direction::kAtoB)).taken).size();
    WaitFor([&] { return SoundBlocks(dir.File("bob.wav")).size() >= audible; }, 10000);
    // The voice threads and buffers of a call are made at its start (when a
    // thread of the setup may still be ending): none come later.
    EXPECT_LE(alice.Measure().threads, aliceBefore.threads);
    EXPECT_LE(bob.Measure().threads, bobBefore.threads);
    // The sanitizers' own records grow as a program runs: memory is measured
    // only without them (the clients are built like the test).
#ifndef DIALVO_SANITIZED
    EXPECT_LT(alice.Measure().rssKb, aliceBefore.rssKb + 2048);
    EXPECT_LT(bob.Measure().rssKb, bobBefore.rssKb + 2048);
#endif
    ASSERT_TRUE(alice.Quit());
    ASSERT_TRUE(bob.WaitWord("PEER_STATS", kCallMs));
    EXPECT_EQ(bob.Lines("EV_CALL_ENDED").size(), 1u);
  }
  EXPECT_TRUE(bob.Quit());
  EXPECT_TRUE(alice.Quit());
  relay.Stop();

  const std::vector<uint32_t> seqs = log.Seqs(Direction::kAtoB);
  const Arrival expected = Expect(seqs);
  // The case did strike the voice.
  const Impairment& m = c.impairment;
  const size_t late = seqs.size() - expected.taken.size();
  if (m.lossPercent > 0 || m.burstPercent > 0 || (c.blackoutMs > 0 && !ends)) {
    EXPECT_GT(expected.lost, 0u);
  }
  if (m.duplicatePercent > 0 || m.reorderPercent > 0) {
    EXPECT_GT(late, 0u);
  }
  const std::string stats = bob.Stats("alice");
  ASSERT_FALSE(stats.empty());
  EXPECT_EQ(ReportedGaps(bob, "1"), expected.gaps);
  EXPECT_EQ(Party::Value(stats, "lost"), std::to_string(expected.lost));
  EXPECT_EQ(Party::Value(stats, "received"), std::to_string(expected.taken.size()));
  EXPECT_EQ(Party::Value(stats, "dropped"), "0");
  // The other way too (bob sends a few silent blocks).
  EXPECT_EQ(Party::Value(alice.Stats("bob"), "lost"),
            std::to_string(Expect(log.Seqs(Direction::kBtoA)).lost));
  for (const std::string& line : bob.Lines("EV_ROUND_TRIP")) {
    EXPECT_LE(std::stoul(Party::Value(line, "queued")), JitterQueue::kCapacity) << line;
  }
  const std::vector<Block> heard = SoundBlocks(dir.File("bob.wav"));
  const std::vector<Block> audible = Audible(sent, expected.taken);
  ASSERT_EQ(heard.size(), audible.size());
  for (size_t k = 0; k < heard.size(); ++k) EXPECT_TRUE(heard[k] == audible[k]) << "block " << k;

  const NetSimCounts ab = relay.Counts(Direction::kAtoB);
  std::printf(
      "%s: A->B %llu datagrams, %llu lost, %llu duplicated, %llu reordered; voice %zu of "
      "%zu taken, %zu not (late or twice), %llu counted lost, %zu gaps\n",
      c.name, static_cast<unsigned long long>(ab.seen), static_cast<unsigned long long>(ab.lost),
      static_cast<unsigned long long>(ab.duplicated), static_cast<unsigned long long>(ab.reordered),
      expected.taken.size(), sent.size(), late, static_cast<unsigned long long>(expected.lost),
      expected.gaps.size());
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, BadNetwork,
    ::testing::Values(Case{"clean", {}}, Case{"loss1", {.lossPercent = 1}, 0, 7},
                      Case{"loss5", {.lossPercent = 5}}, Case{"loss10", {.lossPercent = 10}},
                      Case{"loss20", {.lossPercent = 20}, 0, 7},
                      Case{"bursts", {.burstPercent = 5, .burstLength = 4}, 0, 3},
                      Case{"jitter40", {.delayMs = 20, .jitterMs = 40}},
                      Case{"reorder5", {.reorderPercent = 5}, 0, 9},
                      Case{"duplicates5", {.duplicatePercent = 5}, 0, 23},
                      Case{"blackout3s", {}, 3000}, Case{"blackoutPastLiveness", {}, 9500}),
    [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

TEST(BadNetworkConference, LossOnOneLegLeavesTheOtherTwoUntouched) {
  ScratchDir dir;
  const auto tone = [&](const std::string& name, double hz) {
    return std::vector<std::string>{"--play-file", PartyTone(dir.File(name + ".wav"), hz, 0.3),
                                    "--loop", "--rec-file", dir.File("heard-" + name + ".wav")};
  };
  Party b("b", tone("b", 650));
  Party c("c", tone("c", 1150));
  const std::string bPort = b.Port();
  const std::string cPort = c.Port();
  ASSERT_FALSE(bPort.empty() || cPort.empty());
  // The bridge reaches b through a lossy relay, c through a clean one.
  NetSim lossy(static_cast<uint16_t>(std::stoi(bPort)), 11);
  NetSim clean(static_cast<uint16_t>(std::stoi(cPort)), 12);
  VoiceLog lossyLog;
  lossyLog.Attach(lossy);
  ASSERT_TRUE(lossy.Start() && clean.Start());
  lossy.SetBoth({.lossPercent = 10});
  std::vector<std::string> bridge = tone("a", 350);
  bridge.insert(bridge.end(), {"--call", "127.0.0.1:" + std::to_string(lossy.FrontPort()), "--call",
                               "127.0.0.1:" + std::to_string(clean.FrontPort())});
  Party a("a", bridge);
  ASSERT_TRUE(a.WaitWord("EV_PEER_JOINED", kCallMs, 2)) << "the bridge did not reach both";
  ASSERT_TRUE(c.WaitWord("EV_PEER_JOINED", kCallMs));
  // Four seconds of the three of them, as c hears it.
  ASSERT_TRUE(WaitFor([&] { return SoundBlocks(dir.File("heard-c.wav")).size() >= 20; }, 20000));
  lossy.SetBoth({});
  EXPECT_TRUE(a.Quit());
  EXPECT_TRUE(b.Quit());
  EXPECT_TRUE(c.Quit());
  lossy.Stop();
  clean.Stop();

  // On the clean leg nothing is lost either way, and every block one side
  // sent the other took.
  const std::string aToC = a.Stats("c");
  const std::string cToA = c.Stats("a");
  ASSERT_FALSE(aToC.empty() || cToA.empty());
  EXPECT_EQ(Party::Value(aToC, "lost"), "0");
  EXPECT_EQ(Party::Value(cToA, "lost"), "0");
  EXPECT_EQ(Party::Value(cToA, "dropped"), "0");
  EXPECT_EQ(Party::Value(aToC, "received"), Party::Value(cToA, "sent"));
  EXPECT_EQ(Party::Value(cToA, "received"), Party::Value(aToC, "sent"));
  EXPECT_TRUE(c.Lines("EV_PACKET_GAP").empty());
  // The lossy leg counts exactly what its relay lost.
  EXPECT_EQ(Party::Value(a.Stats("b"), "lost"),
            std::to_string(Expect(lossyLog.Seqs(Direction::kBtoA)).lost));
  EXPECT_EQ(Party::Value(b.Stats("a"), "lost"),
            std::to_string(Expect(lossyLog.Seqs(Direction::kAtoB)).lost));
  EXPECT_GT(Expect(lossyLog.Seqs(Direction::kAtoB)).lost, 0u);
  // c hears the bridge in every block it played, whatever reached the
  // bridge from b.
  const std::vector<Block> heard = SoundBlocks(dir.File("heard-c.wav"));
  ASSERT_GE(heard.size(), 20u);
  for (size_t k = 0; k < heard.size(); ++k) {
    EXPECT_GT(Energy(heard[k], 350), 100 * Energy(heard[k], 1150)) << "block " << k;
  }
}

}  // namespace
}  // namespace dialvo::test
