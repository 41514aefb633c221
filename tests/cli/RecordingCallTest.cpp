// A call recorded by dialvo-cli: two clients, each playing its own tone, and
// the recording holds both, in a file that any GSM 06.10 decoder reads.
#include <gsm.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/GsmCodec.h"
#include "tests/cli/CliProcess.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/WavMaker.h"

namespace dialvo::test {
namespace {

namespace fs = std::filesystem;
constexpr size_t kRecord = 330;
constexpr size_t kBlock = 1600;

std::string Tone(const ScratchDir& dir, const std::string& name, double hz) {
  return PartyTone(dir.File(name), hz, 0.5);
}

// Energy of one frequency in some samples (Goertzel), per sample.
double Energy(const int16_t* samples, size_t count, double hz) {
  const double coeff = 2 * std::cos(2 * M_PI * hz / 8000);
  double s1 = 0;
  double s2 = 0;
  for (size_t i = 0; i < count; ++i) {
    const double s0 = samples[i] + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return (s1 * s1 + s2 * s2 - coeff * s1 * s2) / static_cast<double>(count * count);
}

// Frame by frame through libgsm itself, not through the program's codec.
std::vector<int16_t> DecodeWithLibgsm(const std::vector<uint8_t>& bytes) {
  gsm decoder = gsm_create();
  std::vector<int16_t> pcm(bytes.size() / 33 * 160);
  for (size_t f = 0; f < bytes.size() / 33; ++f) {
    std::vector<uint8_t> frame(bytes.begin() + static_cast<ptrdiff_t>(f * 33),
                               bytes.begin() + static_cast<ptrdiff_t>(f * 33 + 33));
    EXPECT_EQ(gsm_decode(decoder, frame.data(), pcm.data() + f * 160), 0) << "frame " << f;
  }
  gsm_destroy(decoder);
  return pcm;
}

TEST(RecordingCall, TheRecordingHoldsBothSidesAndDecodesAnywhere) {
  ScratchDir dir;
  const fs::path recordings = fs::path(dir.Path()) / "recordings";
  CliProcess bob({"--port", "0", "--user", "bob", "--play-file", Tone(dir, "bob.wav", 650),
                  "--loop", "--exit-on-call-end"});
  const auto listening = bob.WaitWord("LISTENING");
  ASSERT_TRUE(listening) << bob.Stderr();
  CliProcess alice({"--port", "0", "--user", "alice", "--play-file", Tone(dir, "alice.wav", 350),
                    "--loop", "--record", recordings.string(), "--call",
                    "127.0.0.1:" + CliProcess::Value(*listening, "port"), "--hangup-after", "3",
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
  for (size_t k = 0; k < records; ++k) {
    const int16_t* block = pcm.data() + k * kBlock;
    const double noise = Energy(block, kBlock, 1150);
    if (Energy(block, kBlock, 350) > 100 * noise && Energy(block, kBlock, 650) > 100 * noise) {
      ++both;
    }
  }
  EXPECT_GE(both, records * 2 / 3) << both << " of " << records << " blocks hold both tones";
}

TEST(RecordingCall, ARecordDirectoryThatCannotBeMadeIsABadArgument) {
  ScratchDir dir;
  std::ofstream(dir.File("file")) << "x";
  CliProcess cli({"--port", "0", "--record", dir.File("file") + "/recordings"});
  EXPECT_EQ(cli.WaitExit(), 2);
  EXPECT_NE(cli.Stderr().find("--record"), std::string::npos) << cli.Stderr();
}

}  // namespace
}  // namespace dialvo::test
