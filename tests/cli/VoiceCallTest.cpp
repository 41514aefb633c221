// Calls between dialvo-cli processes that carry sound from WAV files into
// WAV recordings: what arrives is compared with what the sender's file held,
// as the codec changes it. One call runs through a PulseAudio server of the
// test's own; one is recorded, in a file that any GSM 06.10 decoder reads.
#include <gsm.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/GsmCodec.h"
#include "audio/WavFile.h"
#include "tests/cli/OnlineClients.h"
#include "tests/support/PulseServer.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/VoiceBlocks.h"
#include "tests/support/Wait.h"
#include "tests/support/WavMaker.h"

namespace dialvo::test {
namespace {

constexpr int kBlockMs = 200;

// Frame by frame through libgsm itself, not through the program's codec.
std::vector<int16_t> DecodeWithLibgsm(std::vector<uint8_t> bytes) {
  gsm decoder = gsm_create();
  std::vector<int16_t> pcm(bytes.size() / 33 * 160);
  for (size_t f = 0; f < bytes.size() / 33; ++f) {
    EXPECT_EQ(gsm_decode(decoder, bytes.data() + f * 33, pcm.data() + f * 160), 0) << "frame " << f;
  }
  gsm_destroy(decoder);
  return pcm;
}

int64_t Ms(const std::string& line) { return std::stoll(line.substr(0, line.find(' '))); }

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
  const std::string port = ListeningPort(bob);
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
  const int64_t offset =
      std::chrono::duration_cast<std::chrono::milliseconds>(bob.Started() - alice.Started())
          .count();
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
  const std::string port = ListeningPort(pulse);
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

TEST(VoiceCall, TheRecordingHoldsBothSidesAndDecodesAnywhere) {
  namespace fs = std::filesystem;
  ScratchDir dir;
  const fs::path recordings = fs::path(dir.Path()) / "recordings";
  CliProcess bob({"--port", "0", "--user", "bob", "--play-file",
                  PartyTone(dir.File("bob.wav"), 650, 0.5), "--loop", "--exit-on-call-end"});
  const std::string port = ListeningPort(bob);
  ASSERT_FALSE(port.empty()) << bob.Stderr();
  CliProcess alice({"--port", "0", "--user", "alice", "--play-file",
                    PartyTone(dir.File("alice.wav"), 350, 0.5), "--loop", "--record",
                    recordings.string(), "--call", "127.0.0.1:" + port, "--hangup-after", "3",
                    "--exit-on-call-end"});
  EXPECT_EQ(alice.WaitExit(10000), 0) << alice.Stderr();
  EXPECT_EQ(bob.WaitExit(), 0) << bob.Stderr();
  EXPECT_TRUE(alice.Lines("RECORDING_FAILED").empty()) << alice.Lines("RECORDING_FAILED")[0];
  const auto line = alice.WaitWord("RECORDING", 1000);
  ASSERT_TRUE(line) << alice.Stderr();
  const fs::path saved = CliProcess::Value(*line, "path");
  EXPECT_EQ(saved.parent_path(), recordings);
  EXPECT_TRUE(saved.filename().string().starts_with("recording_")) << saved;
  EXPECT_EQ(saved.extension(), ".dvrec");
  // Nothing left behind, and bob, who did not record, has nothing.
  EXPECT_TRUE(fs::is_empty(recordings / ".partial"));
  EXPECT_TRUE(bob.Lines("RECORDING").empty());

  std::ifstream in(saved, std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>()};
  constexpr size_t kRecord = 330;  // the frames of one block
  ASSERT_EQ(bytes.size() % kRecord, 0u);
  const size_t records = bytes.size() / kRecord;
  // About three seconds of call, mostly in pairs: 15 blocks a side.
  EXPECT_GE(records, 10u);
  EXPECT_LE(records, 40u);

  std::unique_ptr<GsmCodec> codec = CreateCodec();
  std::vector<int16_t> pcm(records * kBlock);
  uint32_t count = static_cast<uint32_t>(bytes.size());
  codec->Decode(bytes, pcm, count);
  ASSERT_EQ(count, pcm.size());
  EXPECT_TRUE(pcm == DecodeWithLibgsm(bytes)) << "the decoders disagree";

  // Both voices are in the mixed blocks: each tone far above a frequency
  // neither played. Some blocks at the edges of the call have one side only.
  size_t both = 0;
  for (const Block& block : Blocks(pcm)) {
    const double noise = Energy(block, 1150);
    if (Energy(block, 350) > 100 * noise && Energy(block, 650) > 100 * noise) ++both;
  }
  EXPECT_GE(both, records * 2 / 3) << both << " of " << records << " blocks hold both tones";
}

}  // namespace
}  // namespace dialvo::test
