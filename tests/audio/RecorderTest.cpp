// The conversation recorder: how blocks of the two directions pair and mix,
// when they are written, and that a save never loses the recording. The
// file's bytes are checked against the same blocks encoded by a codec of the
// test's own, in the order the recorder must have written them.
#include "audio/Recorder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "audio/GsmCodec.h"
#include "tests/support/ScratchDir.h"

namespace dialvo::test {
namespace {

namespace fs = std::filesystem;
using Block = std::vector<int16_t>;
constexpr size_t kSamples = ConversationRecorder::kBlockSamples;
constexpr size_t kRecord = ConversationRecorder::kRecordBytes;

// A block that differs from every other one the test makes with another
// seed, and is loud enough to matter to the codec.
Block Made(int seed) {
  Block block(kSamples);
  uint32_t state = 2654435761u * static_cast<uint32_t>(seed + 1);
  for (int16_t& s : block) {
    state = state * 1103515245u + 12345u;
    s = static_cast<int16_t>(static_cast<int32_t>(state >> 16) - 32768);
  }
  return block;
}

Block Mixed(const Block& a, const Block& b) {
  Block out(kSamples);
  for (size_t i = 0; i < kSamples; ++i) out[i] = static_cast<int16_t>((a[i] + b[i]) / 2);
  return out;
}

// What a file holding these blocks, in this order, must contain.
std::string Encoded(const std::vector<Block>& blocks) {
  std::unique_ptr<GsmCodec> codec = CreateCodec();
  std::vector<uint8_t> bytes(blocks.size() * kRecord);
  for (size_t k = 0; k < blocks.size(); ++k) {
    uint32_t count = kSamples;
    codec->Encode(blocks[k], count, std::span(bytes).subspan(k * kRecord, kRecord));
  }
  return {bytes.begin(), bytes.end()};
}

size_t FilesIn(const fs::path& dir) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return 0;
  return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// A recorder with its temporary directory and a directory to save into.
struct Harness {
  ScratchDir scratch;
  fs::path partial = fs::path(scratch.Path()) / "cache" / "partial";
  fs::path target = fs::path(scratch.Path()) / "recordings";
  std::unique_ptr<ConversationRecorder> recorder = std::make_unique<ConversationRecorder>(partial);

  Harness() { fs::create_directory(target); }
  void Local(const Block& b) { recorder->AddAudio(b.data(), b.size(), false); }
  void Remote(const Block& b) { recorder->AddAudio(b.data(), b.size(), true); }
  // Saves as name in the target directory; the file's bytes.
  std::string Saved(const std::string& name = "r.dvrec") {
    std::string error;
    fs::path saved;
    EXPECT_TRUE(recorder->Save(target / name, &error, &saved)) << error;
    EXPECT_EQ(saved, target / name);
    return ReadFile(saved);
  }
};

TEST(Recorder, PairsMixTowardZeroAndABlockPairsWithTheNewestOtherWithinThreeEntries) {
  // A pair mixes with truncation toward zero.
  {
    Harness h;
    Block local(kSamples, 1000);
    Block remote(kSamples, 3001);
    local[7] = -1;
    remote[7] = -2;
    local[8] = -32768;
    remote[8] = -32768;
    h.Local(local);
    h.Remote(remote);
    EXPECT_EQ(h.recorder->Pending(), 1u);
    Block expected(kSamples, 2000);
    expected[7] = -1;
    expected[8] = -32768;
    EXPECT_EQ(h.Saved(), Encoded({expected}));
  }
  // Two of a direction never pair; the remote one takes the newer local.
  {
    Harness h;
    h.Local(Made(1));
    h.Local(Made(2));
    EXPECT_EQ(h.recorder->Pending(), 2u);
    h.Remote(Made(3));
    EXPECT_EQ(h.recorder->Pending(), 2u);
    EXPECT_EQ(h.Saved(), Encoded({Made(1), Mixed(Made(2), Made(3))}));
  }
  // Behind three mixed entries, a local block is out of reach; behind two
  // it is not.
  for (const int mixedBetween : {2, 3}) {
    Harness h;
    std::vector<Block> expected{Made(0)};
    h.Local(Made(0));
    for (int i = 1; i <= mixedBetween; ++i) {
      h.Local(Made(10 * i));
      h.Remote(Made(10 * i + 1));
      expected.push_back(Mixed(Made(10 * i), Made(10 * i + 1)));
    }
    h.Remote(Made(99));
    if (mixedBetween == 3) {
      expected.push_back(Made(99));
    } else {
      expected[0] = Mixed(Made(0), Made(99));
    }
    EXPECT_EQ(h.Saved(), Encoded(expected)) << mixedBetween << " mixed entries between";
  }
}

TEST(Recorder, WritesInBatchesOfAllButTheFourNewestWholeRecords) {
  Harness h;
  std::vector<Block> blocks;
  for (int i = 0; i < 51; ++i) {
    blocks.push_back(Made(i));
    h.Local(blocks.back());
    if (i == 49) {
      // Fifty pending: nothing written yet.
      EXPECT_EQ(fs::file_size(h.recorder->TemporaryPath()), 0u);
    }
  }
  // After the 51st unpaired entry, 47 records are in the file.
  EXPECT_EQ(fs::file_size(h.recorder->TemporaryPath()), 47 * kRecord);
  EXPECT_EQ(ReadFile(h.recorder->TemporaryPath()),
            Encoded(std::vector<Block>(blocks.begin(), blocks.begin() + 47)));
  EXPECT_EQ(h.recorder->Pending(), 4u);
  // The kept four still pair.
  h.Remote(Made(100));
  blocks.back() = Mixed(blocks.back(), Made(100));
  const fs::path temporary = h.recorder->TemporaryPath();
  EXPECT_EQ(h.Saved(), Encoded(blocks));
  EXPECT_FALSE(fs::exists(temporary));
}

TEST(Recorder, TheTemporaryFileIsPrivateNamedLocallyAndLeftWhole) {
  Harness h;
  for (int i = 0; i < 3; ++i) h.Local(Made(i));
  const fs::path temporary = h.recorder->TemporaryPath();
  const std::string name = temporary.filename().string();
  EXPECT_TRUE(name.starts_with("call-") && name.ends_with(".dvrec.part")) << name;
  struct stat st {};
  ASSERT_EQ(stat(h.partial.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(temporary.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Each recording has a file of its own in the same directory.
  ConversationRecorder other(h.partial);
  other.AddAudio(Made(2).data(), kSamples, true);
  EXPECT_NE(other.TemporaryPath(), temporary);
  EXPECT_EQ(FilesIn(h.partial), 2u);
  // Destroyed with blocks pending, the recorder writes them and leaves the file.
  h.recorder.reset();
  EXPECT_EQ(ReadFile(temporary), Encoded({Made(0), Made(1), Made(2)}));
}

TEST(Recorder, NamedAfterTheLocalTimeInEnglishWithASuffixWhenTaken) {
  // 22 June 2003, 14:05:09 UTC; the tests run with TZ=UTC.
  const std::string name = RecordingFileName(1056290709);
  EXPECT_EQ(name, "recording_Jun_22_03_14.05.09.dvrec");
  Harness first;
  first.Local(Made(1));
  EXPECT_EQ(first.Saved(name).size(), kRecord);
  for (int n = 2; n <= 3; ++n) {
    ConversationRecorder again(first.partial);
    again.AddAudio(Made(n).data(), kSamples, false);
    std::string error;
    fs::path saved;
    ASSERT_TRUE(again.Save(first.target / name, &error, &saved)) << error;
    EXPECT_EQ(saved.filename(), "recording_Jun_22_03_14.05.09-" + std::to_string(n) + ".dvrec");
    EXPECT_EQ(ReadFile(saved), Encoded({Made(n)}));
  }
  // The first one is untouched.
  EXPECT_EQ(ReadFile(first.target / name), Encoded({Made(1)}));
  EXPECT_EQ(FilesIn(first.partial), 0u);
}

TEST(Recorder, AFailedSaveOrCreateIsReportedAndASaveKeepsTheFileAndMayBeRetried) {
  Harness h;
  h.Local(Made(1));
  const fs::path temporary = h.recorder->TemporaryPath();
  // Root ignores permissions: a missing directory, and one whose parent is a
  // regular file, fail for everyone.
  std::ofstream(h.target / "file") << "x";
  for (const fs::path& bad : {h.target / "missing" / "r.dvrec", h.target / "file" / "r.dvrec"}) {
    std::string error;
    EXPECT_FALSE(h.recorder->Save(bad, &error));
    EXPECT_NE(error.find(temporary.string()), std::string::npos) << error;
    EXPECT_NE(error.find(bad.string()), std::string::npos) << error;
    EXPECT_EQ(ReadFile(temporary), Encoded({Made(1)}));
  }
  // Nor can a temporary directory whose parent is a file be made.
  ConversationRecorder homeless(h.target / "file" / "partial");
  homeless.AddAudio(Made(1).data(), kSamples, false);
  EXPECT_TRUE(homeless.HasRecording());
  std::string error;
  EXPECT_FALSE(homeless.Save(h.target / "r.dvrec", &error));
  EXPECT_NE(error.find("partial"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(h.target / "r.dvrec"));

  EXPECT_EQ(h.Saved(), Encoded({Made(1)}));
  error.clear();
  EXPECT_FALSE(h.recorder->Save(h.target / "again.dvrec", &error));
  EXPECT_FALSE(error.empty());
}

TEST(Recorder, OnAnotherFilesystemTheFileIsCopiedNeverOverAnother) {
  Harness h;
  char pattern[] = "/dev/shm/dialvo-rec-XXXXXX";
  struct stat shm {};
  struct stat scratch {};
  if (stat(h.scratch.Path().c_str(), &scratch) != 0 || stat("/dev/shm", &shm) != 0 ||
      shm.st_dev == scratch.st_dev || mkdtemp(pattern) == nullptr) {
    GTEST_SKIP() << "no second filesystem at /dev/shm";
  }
  const fs::path partial = fs::path(pattern) / "partial";
  {
    ConversationRecorder recorder(partial);
    recorder.AddAudio(Made(1).data(), kSamples, true);
    std::ofstream(h.target / "r.dvrec") << "someone else's";
    std::string error;
    fs::path saved;
    EXPECT_TRUE(recorder.Save(h.target / "r.dvrec", &error, &saved)) << error;
    EXPECT_EQ(saved, h.target / "r-2.dvrec");
    EXPECT_EQ(ReadFile(saved), Encoded({Made(1)}));
    EXPECT_EQ(FilesIn(partial), 0u);
  }
  fs::remove_all(pattern);
  EXPECT_EQ(ReadFile(h.target / "r.dvrec"), "someone else's");
}

TEST(Recorder, NothingRecordedIsNothingToSaveAndLateBlocksAfterTheSaveAreIgnored) {
  Harness h;
  EXPECT_FALSE(h.recorder->HasRecording());
  std::string error;
  EXPECT_FALSE(h.recorder->Save(h.target / "r.dvrec", &error));
  EXPECT_FALSE(fs::exists(h.target / "r.dvrec"));
  EXPECT_FALSE(fs::exists(h.partial));

  h.Remote(Made(1));
  h.Saved();
  h.Local(Made(2));
  h.Remote(Made(3));
  EXPECT_EQ(h.recorder->Pending(), 0u);
  EXPECT_TRUE(h.recorder->TemporaryPath().empty());
  EXPECT_EQ(FilesIn(h.partial), 0u);
  EXPECT_EQ(ReadFile(h.target / "r.dvrec"), Encoded({Made(1)}));
}

TEST(Recorder, AFailedWriteIsReportedAndKeepsWholeRecords) {
  // A write stopped part-way through a batch (as on a full disk): the file
  // keeps the records written whole, and the save fails.
  Harness h;
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldSignal = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 20 * kRecord + 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::vector<Block> blocks;
  for (int i = 0; i < 53; ++i) {
    blocks.push_back(Made(i));
    h.Local(blocks.back());
  }
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldSignal);
  const fs::path temporary = h.recorder->TemporaryPath();
  EXPECT_EQ(ReadFile(temporary), Encoded(std::vector<Block>(blocks.begin(), blocks.begin() + 20)));
  std::string error;
  EXPECT_FALSE(h.recorder->Save(h.target / "r.dvrec", &error));
  EXPECT_NE(error.find(temporary.string()), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(h.target / "r.dvrec"));
  EXPECT_EQ(fs::file_size(temporary), 20 * kRecord);
}

TEST(Recorder, TwoDirectionsAddWhileTheOwnerSaves) {
  Harness h;
  constexpr int kBlocks = 120;
  const Block block = Made(5);
  const auto add = [&](bool remote) {
    for (int i = 0; i < kBlocks; ++i) h.recorder->AddAudio(block.data(), kSamples, remote);
  };
  std::thread capture(add, false);
  std::thread playback(add, true);
  while (!h.recorder->HasRecording()) std::this_thread::yield();
  std::string error;
  fs::path saved;
  const bool ok = h.recorder->Save(h.target / "r.dvrec", &error, &saved);
  capture.join();
  playback.join();
  ASSERT_TRUE(ok) << error;
  const uintmax_t size = fs::file_size(saved);
  EXPECT_EQ(size % kRecord, 0u);
  EXPECT_LE(size, size_t{2} * kBlocks * kRecord);
  EXPECT_EQ(FilesIn(h.partial), 0u);
}

}  // namespace
}  // namespace dialvo::test
