// Calls between dialvo-cli processes that carry sound from WAV files into
// WAV recordings: what arrives is compared with what the sender's file held,
// as the codec changes it. One call runs through a PulseAudio server of the
// test's own.
#include <gsm.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "audio/WavFile.h"
#include "tests/cli/CliProcess.h"
#include "tests/support/PulseServer.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/Wait.h"
#include "tests/support/WavMaker.h"

namespace dialvo::test {
namespace {

constexpr size_t kBlock = 1600;  // samples in 200 ms
constexpr int kBlockMs = 200;
using Block = std::vector<int16_t>;

std::vector<Block> Blocks(const std::vector<int16_t>& samples) {
  std::vector<Block> blocks;
  for (size_t at = 0; at < samples.size(); at += kBlock) {
    Block block(kBlock, 0);
    std::copy_n(samples.begin() + static_cast<ptrdiff_t>(at), std::min(kBlock, samples.size() - at),
                block.begin());
    blocks.push_back(std::move(block));
  }
  return blocks;
}

bool IsDigitalSilence(const Block& block) {
  return std::all_of(block.begin(), block.end(), [](int16_t s) { return s == 0; });
}

// The blocks of a recording that hold sound: the player writes exact zeros
// when it has nothing to play, and nothing that went through the codec
// comes out as exact zeros.
std::vector<Block> SoundBlocks(const std::string& path) {
  std::vector<int16_t> samples;
  if (!ReadWavFile(path, samples, nullptr, nullptr)) return {};
  std::vector<Block> blocks = Blocks(samples);
  if (!blocks.empty() && blocks.back().size() == kBlock && samples.size() % kBlock != 0) {
    blocks.pop_back();  // a block still being written
  }
  std::erase_if(blocks, IsDigitalSilence);
  return blocks;
}

// Which captured blocks the sender puts on the wire, worked out from the
// rule a user is promised: a block is speech when more than 320 of its
// samples after the first 200 lie beyond +-2560; speech and the 10 silent
// blocks after it are sent, later silence is held back, and the last block
// held goes out just before the next one sent. held[i] tells that sent[i]
// went out ahead of its turn (no capture event is shown for it).
struct Sent {
  std::vector<Block> blocks;
  std::vector<bool> held;
};

Sent SentBlocks(const std::vector<Block>& captured) {
  Sent sent;
  int silent = 0;
  bool lastSent = true;
  Block previous(kBlock, 0);
  for (const Block& block : captured) {
    int loud = 0;
    for (size_t i = 200; i < block.size(); ++i) loud += (block[i] > 2560 || block[i] < -2560);
    const bool speech = loud > 320;
    if (speech) {
      silent = 0;
    } else if (silent >= 10) {
      lastSent = false;
      ++silent;
      previous = block;
      continue;
    }
    if (!lastSent) {
      sent.blocks.push_back(previous);
      sent.held.push_back(true);
    }
    sent.blocks.push_back(block);
    sent.held.push_back(false);
    lastSent = true;
    if (!speech) ++silent;
  }
  return sent;
}

// One GSM 06.10 stream through libgsm: encoder and decoder states carried
// from block to block.
class GsmStream {
 public:
  GsmStream() : encoder_(gsm_create()), decoder_(gsm_create()) {}
  ~GsmStream() {
    gsm_destroy(encoder_);
    gsm_destroy(decoder_);
  }
  GsmStream(const GsmStream&) = delete;
  GsmStream& operator=(const GsmStream&) = delete;

  Block Pass(Block block) {
    Block out(kBlock);
    for (size_t f = 0; f < kBlock; f += 160) {
      gsm_frame frame;
      gsm_encode(encoder_, block.data() + f, frame);
      gsm_decode(decoder_, frame, out.data() + f);
    }
    return out;
  }

 private:
  gsm encoder_;
  gsm decoder_;
};

// Energy of one frequency in some samples (Goertzel), per sample.
double Energy(const std::vector<int16_t>& samples, double hz) {
  const double w = 2 * M_PI * hz / 8000;
  const double coeff = 2 * std::cos(w);
  double s1 = 0;
  double s2 = 0;
  for (int16_t x : samples) {
    const double s0 = x + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
  return power / static_cast<double>(samples.size() * samples.size());
}

std::vector<int16_t> Joined(const std::vector<Block>& blocks) {
  std::vector<int16_t> all;
  for (const Block& b : blocks) all.insert(all.end(), b.begin(), b.end());
  return all;
}

int64_t Ms(const std::string& line) { return std::stoll(line.substr(0, line.find(' '))); }

int64_t SinceMs(std::chrono::steady_clock::time_point from,
                std::chrono::steady_clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

std::string Port(CliProcess& process) {
  const auto listening = process.WaitWord("LISTENING");
  return listening ? CliProcess::Value(*listening, "port") : "";
}

TEST(VoiceCall, SpeechArrivesBlockForBlockAfterTwoCodecPasses) {
  ScratchDir dir;
  std::string error;
  const std::string speech = dir.File("speech.wav");
  ASSERT_TRUE(MakeSpeechWav(speech, "Hello Bob, one two three.", &error)) << error;
  std::vector<int16_t> samples;
  ASSERT_TRUE(ReadWavFile(speech, samples, nullptr, &error)) << error;

  // The file, then the silence that capture delivers after its end.
  std::vector<Block> captured = Blocks(samples);
  captured.resize(captured.size() + 15, Block(kBlock, 0));
  const Sent sent = SentBlocks(captured);
  // A encodes for its own loopback, decodes, mixes (B hears only A), and
  // encodes again for B, who decodes.
  GsmStream loopback;
  GsmStream toB;
  std::vector<Block> expected;
  for (const Block& block : sent.blocks) expected.push_back(toB.Pass(loopback.Pass(block)));
  std::vector<Block> audible = expected;
  std::erase_if(audible, IsDigitalSilence);
  ASSERT_GT(audible.size(), 12u);

  CliProcess bob(
      {"--port", "0", "--user", "bob", "--rec-file", dir.File("bob.wav"), "--exit-on-call-end"});
  const std::string port = Port(bob);
  ASSERT_FALSE(port.empty()) << bob.Stderr();
  CliProcess alice({"--port", "0", "--user", "alice", "--play-file", speech, "--call",
                    "127.0.0.1:" + port, "--exit-on-call-end"});
  ASSERT_TRUE(
      WaitFor([&] { return SoundBlocks(dir.File("bob.wav")).size() >= audible.size(); }, 30000))
      << "bob's recording has " << SoundBlocks(dir.File("bob.wav")).size() << " of "
      << audible.size() << " blocks";
  alice.Signal(SIGINT);
  EXPECT_EQ(alice.WaitExit(), 0) << alice.Stderr();
  EXPECT_EQ(bob.WaitExit(), 0) << bob.Stderr();

  const std::vector<Block> heard = SoundBlocks(dir.File("bob.wav"));
  ASSERT_EQ(heard.size(), audible.size());
  for (size_t k = 0; k < heard.size(); ++k) EXPECT_TRUE(heard[k] == audible[k]) << "block " << k;

  const auto alicePeer = alice.WaitWord("PEER_STATS");
  const auto bobPeer = bob.WaitWord("PEER_STATS");
  ASSERT_TRUE(alicePeer && bobPeer);
  EXPECT_EQ(CliProcess::Value(*alicePeer, "sent"), std::to_string(sent.blocks.size()));
  EXPECT_EQ(CliProcess::Value(*bobPeer, "received"), std::to_string(sent.blocks.size()));
  EXPECT_EQ(CliProcess::Value(*bobPeer, "lost"), "0");
  EXPECT_EQ(CliProcess::Value(*bobPeer, "dropped"), "0");

  // One-way delay: from alice's send of a captured block to the start of
  // its playing at bob (it plays once the block ahead of it has played).
  // The two clocks meet at the processes' starts, a few ms apart at most.
  const std::vector<std::string> captures = alice.Lines("EV_CAPTURE_BUFFER");
  const std::vector<std::string> playouts = bob.Lines("EV_PLAYOUT_BUFFER");
  ASSERT_EQ(playouts.size(), sent.blocks.size() + 1);  // the silence at the start first
  const int64_t offset = SinceMs(alice.Started(), bob.Started());
  std::vector<int64_t> delays;
  size_t capture = 0;
  for (size_t k = 0; k < sent.blocks.size(); ++k) {
    if (sent.held[k]) continue;
    ASSERT_LT(capture, captures.size());
    delays.push_back(Ms(playouts[k + 1]) + kBlockMs + offset - Ms(captures[capture++]));
  }
  std::sort(delays.begin(), delays.end());
  const int64_t median = delays[delays.size() / 2];
  std::printf("one-way delay, capture sent to playout start: median %lld ms (%lld to %lld ms)\n",
              static_cast<long long>(median), static_cast<long long>(delays.front()),
              static_cast<long long>(delays.back()));
  RecordProperty("one_way_delay_ms", std::to_string(median));
  EXPECT_GT(median, 0);
}

// A tone file for one party: loud, so that two of them overflow 16 bits.
std::string ToneFile(const ScratchDir& dir, const std::string& name, double hz) {
  return PartyTone(dir.File(name), hz, 0.6);
}

TEST(VoiceCall, ThreePartiesHearTheOtherTwoNeverThemselves) {
  ScratchDir dir;
  // Chosen so that no low harmonic or difference tone of two lands on the
  // third.
  const double hz[3] = {350, 650, 1150};
  const char* names[3] = {"a", "b", "c"};
  std::vector<std::unique_ptr<CliProcess>> parties;
  const auto args = [&](int i) {
    return std::vector<std::string>{"--port",
                                    "0",
                                    "--user",
                                    names[i],
                                    "--play-file",
                                    ToneFile(dir, std::string(names[i]) + ".wav", hz[i]),
                                    "--loop",
                                    "--rec-file",
                                    dir.File(std::string("heard-") + names[i] + ".wav"),
                                    "--exit-on-call-end"};
  };
  // The bridge calls the other two in turn: only a member of a call can
  // bring somebody into it.
  std::vector<std::string> bridge = args(0);
  for (int i = 1; i < 3; ++i) {
    parties.push_back(std::make_unique<CliProcess>(args(i)));
    bridge.insert(bridge.end(), {"--call", "127.0.0.1:" + Port(*parties.back())});
  }
  parties.insert(parties.begin(), std::make_unique<CliProcess>(bridge));
  ASSERT_TRUE(parties[0]->WaitWord("EV_PEER_JOINED", 10000, 2).has_value()) << parties[0]->Stderr();
  // From now on everyone is in: wait for a second of it in every recording.
  size_t before[3];
  for (int i = 0; i < 3; ++i)
    before[i] = SoundBlocks(dir.File(std::string("heard-") + names[i] + ".wav")).size();
  for (int i = 0; i < 3; ++i) {
    const std::string file = dir.File(std::string("heard-") + names[i] + ".wav");
    ASSERT_TRUE(WaitFor([&] { return SoundBlocks(file).size() >= before[i] + 8; }, 15000))
        << names[i] << " hears too little";
  }
  parties[1]->Signal(SIGINT);
  parties[2]->Signal(SIGINT);
  for (auto& p : parties) EXPECT_EQ(p->WaitExit(), 0) << p->Stderr();

  for (int i = 0; i < 3; ++i) {
    std::vector<Block> blocks = SoundBlocks(dir.File(std::string("heard-") + names[i] + ".wav"));
    ASSERT_GE(blocks.size(), before[i] + 8);
    // The last five blocks before the end, well after everyone joined.
    const std::vector<int16_t> tail =
        Joined(std::vector<Block>(blocks.end() - 6, blocks.end() - 1));
    const double own = Energy(tail, hz[i]);
    for (int other = 0; other < 3; ++other) {
      if (other == i) continue;
      const double theirs = Energy(tail, hz[other]);
      EXPECT_GT(theirs, 100 * own) << names[i] << " hears " << names[other] << " too little or "
                                   << "himself too much: " << theirs << " vs " << own;
    }
  }
  // The bridge plays the sum of the other two as it is: loud enough to clip.
  const std::vector<int16_t> atBridge = Joined(SoundBlocks(dir.File("heard-a.wav")));
  EXPECT_GT(std::count(atBridge.begin(), atBridge.end(), int16_t{32767}), 0);
  EXPECT_GT(std::count(atBridge.begin(), atBridge.end(), int16_t{-32768}), 0);
}

TEST(VoiceCall, PulseAudioDevicesPlayAndCaptureInACall) {
  PulseServer server;
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  ScratchDir dir;
  ToneSpec spec;
  spec.hz = 600;
  spec.volume = 0.5;
  ASSERT_TRUE(MakeToneWav(dir.File("tone.wav"), spec, &error)) << error;

  // The server's default source is the monitor of its sink: what pulse
  // plays is what it captures. B's tone, played there, comes back to B.
  CliProcess pulse({"--port", "0", "--user", "pulse", "--audio", "pulse", "--exit-on-call-end"},
                   server.ClientEnv());
  const std::string port = Port(pulse);
  ASSERT_FALSE(port.empty()) << pulse.Stderr();
  CliProcess b({"--port", "0", "--user", "b", "--play-file", dir.File("tone.wav"), "--loop",
                "--rec-file", dir.File("echo.wav"), "--call", "127.0.0.1:" + port,
                "--exit-on-call-end"});
  ASSERT_TRUE(pulse.WaitWord("EV_PEER_JOINED", 10000).has_value()) << pulse.Stderr();
  const auto loudCapture = [&] {
    for (const std::string& line : pulse.Lines("EV_CAPTURE_BUFFER")) {
      if (std::stoi(CliProcess::Value(line, "peak")) > 2560) return true;
    }
    return false;
  };
  EXPECT_TRUE(WaitFor(loudCapture, 15000)) << "the pulse side never captured the tone";
  const auto echoed = [&] {
    const std::vector<Block> blocks = SoundBlocks(dir.File("echo.wav"));
    if (blocks.empty()) return false;
    const std::vector<int16_t>& last = blocks.back();
    return Energy(last, 600) > 100 * Energy(last, 1000);
  };
  EXPECT_TRUE(WaitFor(echoed, 15000)) << "the tone did not come back";
  b.Signal(SIGINT);
  EXPECT_EQ(b.WaitExit(), 0);
  EXPECT_EQ(pulse.WaitExit(), 0) << pulse.Stderr();
  for (const std::string& word : pulse.Words()) {
    EXPECT_NE(word, "EV_CAPTURE_OPEN_FAILED");
    EXPECT_NE(word, "EV_PLAYOUT_OPEN_FAILED");
  }
}

}  // namespace
}  // namespace dialvo::test
