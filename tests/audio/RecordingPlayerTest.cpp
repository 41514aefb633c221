// Recordings read back: the record file's position rules, the player's
// threads over a null device driven by a fake clock (progress, seeks,
// pause and resume, the end of a run, a device that does not open, a file
// cut short), and the export to WAV.
#include "audio/RecordingPlayer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "audio/GsmCodec.h"
#include "audio/PlaySound.h"
#include "audio/RecordFile.h"
#include "audio/RecordingExport.h"
#include "audio/WavFile.h"
#include "tests/audio/AudioTestSupport.h"
#include "tests/support/FakeClock.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/Wait.h"

namespace dialvo {
namespace {

constexpr uint32_t kRecord = RecordFile::kRecordBytes;
constexpr uint32_t kBlock = RecordingPlayer::kBlockSamples;

// A recording of `records` blocks, each a tone of its own pitch, encoded
// as the recorder does: one codec for the whole file.
std::vector<uint8_t> ToneRecording(int records) {
  const std::unique_ptr<GsmCodec> codec = CreateCodec();
  std::vector<uint8_t> bytes(size_t{kRecord} * static_cast<size_t>(records));
  for (int r = 0; r < records; ++r) {
    const std::vector<int16_t> pcm =
        test::Tone(kBlock, 300.0 + 150.0 * r, 8000.0, size_t{kBlock} * r);
    uint32_t count = kBlock;
    codec->Encode(pcm, count, std::span<uint8_t>(bytes).subspan(size_t{kRecord} * r, kRecord));
  }
  return bytes;
}

std::string WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return path;
}

// What a fresh decoder (a run's feeder starts with one) makes of `records`
// records from record r on.
std::vector<int16_t> FreshDecode(const std::vector<uint8_t>& recording, int r, int records = 1) {
  std::vector<int16_t> pcm(size_t{kBlock} * records);
  uint32_t count = kRecord * records;
  CreateCodec()->Decode(std::span<const uint8_t>(recording).subspan(size_t{kRecord} * r, count),
                        pcm, count);
  return pcm;
}

TEST(RecordFile, PositionMovesByRecordsAndTheLastRecordCannotBeSought) {
  test::ScratchDir dir;
  RecordFile file;
  std::string error;
  EXPECT_FALSE(file.Open(dir.File("missing.dvrec"), kRecord, &error));
  EXPECT_FALSE(file.Open(WriteFile(dir.File("empty.dvrec"), {}), kRecord, &error));
  EXPECT_FALSE(file.Open(dir.Path(), kRecord, &error));  // a directory
  EXPECT_FALSE(file.IsOpen());

  for (const size_t size : {329u, 331u, 661u}) {
    ASSERT_TRUE(
        file.Open(WriteFile(dir.File("odd.dvrec"), std::vector<uint8_t>(size)), kRecord, &error));
    EXPECT_FALSE(file.Playable()) << size;
    EXPECT_EQ(file.Problem(), kRecordingCorruptedText);
  }

  const std::vector<uint8_t> bytes = ToneRecording(10);
  ASSERT_TRUE(file.Open(WriteFile(dir.File("ten.dvrec"), bytes), kRecord, &error));
  EXPECT_TRUE(file.Playable());
  EXPECT_EQ(file.RecordCount(), 10u);
  EXPECT_FALSE(file.Prev());
  EXPECT_TRUE(file.Seek(8));
  EXPECT_FALSE(file.Seek(9));  // (9 + 1) * 330 is the file size
  EXPECT_FALSE(file.Seek(1000));
  EXPECT_EQ(file.Position(), 8u * kRecord);
  std::vector<uint8_t> record(kRecord);
  ASSERT_TRUE(file.Read(record));
  EXPECT_TRUE(std::equal(record.begin(), record.end(), bytes.begin() + ptrdiff_t{8} * kRecord));
  // Stepping off the last record reaches the end and still succeeds; from
  // there nothing can be read and Next fails.
  EXPECT_TRUE(file.Next());
  EXPECT_TRUE(file.Next());
  EXPECT_EQ(file.Position(), file.Size());
  EXPECT_FALSE(file.Read(record));
  EXPECT_FALSE(file.Next());
  EXPECT_TRUE(file.Prev());
  EXPECT_EQ(file.Position(), 9u * kRecord);

  // Cut short while open: reading stops at the cut instead of crashing.
  ASSERT_EQ(::truncate(file.Path().c_str(), 3 * kRecord + 100), 0);
  EXPECT_TRUE(file.ReadAt(2, record));
  EXPECT_FALSE(file.ReadAt(3, record));
  EXPECT_FALSE(file.Read(record));
  EXPECT_EQ(file.Size(), 10u * kRecord);  // as it was at Open
}

// A player on a null device whose clock moves only when the test says so,
// with everything its callbacks report.
class PlayerHarness {
 public:
  // What the callbacks reported so far.
  struct Reports {
    std::vector<int> progress;
    std::vector<std::vector<int16_t>> played;
    int finished = 0;
    std::string deviceError;
  };

  explicit PlayerHarness(std::shared_ptr<SoundBackend> backend = nullptr)
      : backend_(backend ? std::move(backend) : test::NullBackend(clock_)),
        player_(backend_, Callbacks()) {
    // No click sound: the directory holds none.
    SetSoundDirectory(dir_.Path());
  }

  RecordingPlayer& Player() { return player_; }
  test::ScratchDir& Dir() { return dir_; }
  Reports Seen() {
    std::lock_guard lock(mutex_);
    return reports_;
  }

  std::vector<uint8_t> Load(int records) {
    std::vector<uint8_t> bytes = ToneRecording(records);
    std::string error;
    EXPECT_TRUE(player_.Load(WriteFile(dir_.File("rec.dvrec"), bytes), &error)) << error;
    return bytes;
  }

  // Play, then wait until the feeder has filled the ring (the device is
  // open then, so the clock may move).
  bool Start(uint64_t queuedUpTo) {
    return player_.Play() && test::WaitFor([&] { return player_.CurrentRecord() == queuedUpTo; });
  }
  // Lets the device play one block and waits until the player has seen it.
  bool PlayBlock() {
    const size_t before = Seen().played.size();
    clock_.Advance(200);
    return test::WaitFor([&] { return Seen().played.size() > before; });
  }
  bool WaitProgress(size_t count) {
    return test::WaitFor([&] { return Seen().progress.size() >= count; });
  }
  bool WaitFinished(int count) {
    return test::WaitFor([&] { return Seen().finished == count; });
  }

 private:
  RecordingPlayerCallbacks Callbacks() {
    RecordingPlayerCallbacks callbacks;
    const auto note = [this](const std::function<void(Reports&)>& change) {
      std::lock_guard lock(mutex_);
      change(reports_);
    };
    callbacks.progress = [=](int percent) {
      note([&](Reports& r) { r.progress.push_back(percent); });
    };
    callbacks.played = [=](std::span<const int16_t> block) {
      note([&](Reports& r) { r.played.emplace_back(block.begin(), block.end()); });
    };
    callbacks.finished = [=] { note([](Reports& r) { ++r.finished; }); };
    callbacks.deviceFailed = [=](const std::string& error) {
      note([&](Reports& r) { r.deviceError = error.empty() ? "?" : error; });
    };
    return callbacks;
  }

  test::ScratchDir dir_;
  test::FakeClock clock_;
  std::shared_ptr<SoundBackend> backend_;
  std::mutex mutex_;  // guards reports_; taken by the callbacks and the test
  Reports reports_;
  RecordingPlayer player_;  // last: its threads end before the rest goes
};

TEST(RecordingPlayer, TenRecordsPlayThroughPauseResumeStopOnlyAtTheEndWaitsAndSeekByRecords) {
  PlayerHarness h;
  const std::vector<uint8_t> bytes = h.Load(10);
  ASSERT_TRUE(h.Start(4));  // four blocks queued before the first is played
  EXPECT_EQ(h.Player().State(), PlayerState::kPlaying);
  EXPECT_FALSE(h.Player().Play());  // playing already
  for (int n = 0; n < 6; ++n) {
    ASSERT_TRUE(h.PlayBlock()) << n;
    ASSERT_TRUE(h.WaitProgress(static_cast<size_t>(n) + 1)) << n;
  }
  EXPECT_EQ(h.Seen().progress, (std::vector<int>{50, 60, 70, 80, 90, 100}));
  // 100 came when the last record was queued; the four blocks still queued
  // play out, then the run ends by itself, rewound.
  EXPECT_EQ(h.Player().State(), PlayerState::kPlaying);
  EXPECT_EQ(h.Seen().finished, 0);
  for (int n = 0; n < 4; ++n) ASSERT_TRUE(h.PlayBlock()) << n;
  ASSERT_TRUE(h.WaitFinished(1));
  EXPECT_EQ(h.Seen().progress.size(), 6u);
  // What was heard is the file decoded in one go: no record decoded twice
  // when the ring had no room for it.
  std::vector<int16_t> heard;
  for (const auto& block : h.Seen().played) heard.insert(heard.end(), block.begin(), block.end());
  EXPECT_EQ(heard, FreshDecode(bytes, 0, 10));
  EXPECT_TRUE(test::WaitFor([&] { return h.Player().State() == PlayerState::kStopped; }));
  EXPECT_EQ(h.Player().CurrentRecord(), 0u);

  // Play after the end starts from the first record again.
  const size_t reported = h.Seen().progress.size();
  ASSERT_TRUE(h.Start(4));
  ASSERT_TRUE(h.PlayBlock());
  EXPECT_EQ(h.Seen().played.back(), FreshDecode(bytes, 0));
  ASSERT_TRUE(h.WaitProgress(reported + 1));
  ASSERT_TRUE(h.PlayBlock());
  ASSERT_TRUE(h.WaitProgress(reported + 2));

  // Pause goes back to the first record queued but not heard, and play
  // resumes there.
  EXPECT_EQ(h.Player().CurrentRecord(), 6u);  // records 2 to 5 queued, unheard
  h.Player().Pause();
  EXPECT_EQ(h.Player().State(), PlayerState::kPaused);
  EXPECT_EQ(h.Player().CurrentRecord(), 2u);
  h.Player().Pause();  // not playing: nothing happens
  EXPECT_EQ(h.Player().CurrentRecord(), 2u);
  ASSERT_TRUE(h.Start(6));
  ASSERT_TRUE(h.PlayBlock());
  EXPECT_EQ(h.Seen().played.size(), 13u);
  EXPECT_EQ(h.Seen().played.back(), FreshDecode(bytes, 2));
  for (int n = 0; n < 3; ++n) ASSERT_TRUE(h.PlayBlock()) << n;  // records 7 to 9 queued
  ASSERT_TRUE(test::WaitFor([&] {
    const std::vector<int> progress = h.Seen().progress;
    return progress.size() > reported + 2 && progress.back() == 100;
  }));

  // The owner stops on 100; the last 800 ms are still heard.
  std::atomic<bool> stopping{false};
  std::atomic<size_t> playedWhenStopped{0};
  std::thread stopper([&] {
    stopping = true;
    h.Player().Stop();
    playedWhenStopped = h.Seen().played.size();
  });
  while (!stopping) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (int n = 0; n < 4; ++n) ASSERT_TRUE(h.PlayBlock()) << n;
  stopper.join();
  EXPECT_EQ(playedWhenStopped.load(), 20u);
  EXPECT_EQ(h.Player().State(), PlayerState::kStopped);
  EXPECT_EQ(h.Seen().progress.back(), 100);

  // Stopped in the middle, the queued blocks are dropped at once.
  ASSERT_TRUE(h.Start(4));
  ASSERT_TRUE(h.PlayBlock());
  const auto before = std::chrono::steady_clock::now();
  h.Player().Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1000));
  EXPECT_EQ(h.Seen().played.size(), 21u);
  EXPECT_EQ(h.Player().CurrentRecord(), 0u);

  // Slider seeks: neither the end (100) nor record 9, the last (99), can be
  // sought.
  RecordingPlayer& p = h.Player();
  for (const auto& [percent, record] : {std::pair{50, 5u}, {100, 5u}, {99, 5u}, {0, 0u}}) {
    p.SeekPercent(percent);
    EXPECT_EQ(p.CurrentRecord(), record) << percent;
  }

  // A seek while playing applies to the next record queued.
  p.SeekPercent(30);
  ASSERT_TRUE(h.Start(7));
  p.SeekPercent(80);
  const size_t seekReported = h.Seen().progress.size();
  ASSERT_TRUE(h.PlayBlock());
  ASSERT_TRUE(h.WaitProgress(seekReported + 1));
  EXPECT_EQ(h.Seen().progress.at(seekReported), 90);  // record 8 queued, position on 9
  p.Stop();
}

TEST(RecordingPlayer, OneRecordPlaysOneBlockBadFilesLoadNothingAndACutFileEndsAtTheCut) {
  PlayerHarness h;
  h.Load(1);
  ASSERT_TRUE(h.Start(1));
  ASSERT_TRUE(h.PlayBlock());
  ASSERT_TRUE(h.WaitFinished(1));
  EXPECT_EQ(h.Seen().progress, std::vector<int>{100});  // progress jumps to 100
  EXPECT_EQ(h.Seen().played.size(), 1u);
  EXPECT_TRUE(h.Player().IsLoaded());
  std::string error;
  EXPECT_FALSE(
      h.Player().Load(WriteFile(h.Dir().File("bad.dvrec"), std::vector<uint8_t>(331)), &error));
  EXPECT_EQ(error, kRecordingCorruptedText);
  EXPECT_FALSE(h.Player().IsLoaded());
  EXPECT_FALSE(h.Player().Play());
  EXPECT_EQ(h.Player().State(), PlayerState::kStopped);
  EXPECT_FALSE(h.Player().Load(h.Dir().File("none.dvrec"), &error));
  EXPECT_EQ(error, kRecordingOpenFailedText);
  EXPECT_FALSE(h.Player().Play());
  h.Player().SeekPercent(50);  // nothing loaded: nothing happens

  // A file cut short while playing ends the run at the cut.
  h.Load(10);
  ASSERT_EQ(::truncate(h.Dir().File("rec.dvrec").c_str(), 3 * kRecord + 17), 0);
  ASSERT_TRUE(h.Start(3));
  for (int n = 0; n < 3; ++n) ASSERT_TRUE(h.PlayBlock());
  ASSERT_TRUE(h.WaitFinished(2));
  EXPECT_EQ(h.Seen().played.size(), 4u);
  EXPECT_EQ(h.Player().State(), PlayerState::kStopped);
}

TEST(RecordingPlayer, DeviceThatCannotOpenIsReportedAndThePlayerStops) {
  test::RecordingClock clock;  // the open attempts' waits pass at once
  PlayerHarness h(std::make_shared<test::FlakyBackend>(clock, 1000));
  h.Load(5);
  ASSERT_TRUE(h.Player().Play());
  ASSERT_TRUE(test::WaitFor([&] { return !h.Seen().deviceError.empty(); }));
  EXPECT_EQ(h.Seen().deviceError, "busy");
  ASSERT_TRUE(test::WaitFor([&] { return h.Player().State() == PlayerState::kStopped; }));
  EXPECT_EQ(h.Player().CurrentRecord(), 0u);
  // It may be tried again, and Pause and Stop return at once.
  ASSERT_TRUE(h.Player().Play());
  h.Player().Pause();
  h.Player().Stop();
  EXPECT_EQ(h.Player().State(), PlayerState::kStopped);
}

TEST(RecordingExport, WavHoldsTheCodecsOwnDecodeAndRefusalsLeaveTheTargetAlone) {
  test::ScratchDir dir;
  const std::vector<uint8_t> bytes = ToneRecording(7);
  const std::string in = WriteFile(dir.File("call.dvrec"), bytes);
  const std::string out = dir.File("call.wav");
  std::string error;
  uint64_t samples = 0;
  ASSERT_TRUE(ExportRecordingToWav(in, out, &error, &samples)) << error;
  EXPECT_EQ(samples, 7u * kBlock);

  std::vector<int16_t> got;
  ASSERT_TRUE(ReadWavFile(out, got, nullptr, &error)) << error;
  EXPECT_EQ(got, FreshDecode(bytes, 0, 7));

  // The header, byte by byte, is a plain 44-byte PCM one: RIFF size 22436, a
  // 16-byte fmt chunk of PCM, mono, 8000 Hz, 16000 bytes a second, 2-byte
  // frames of 16 bits, then 22400 bytes of data.
  const std::string wav = test::ReadFile(out);
  EXPECT_EQ(wav.size(), 44u + 7u * kBlock * 2);
  const char header[] =
      "RIFF\xA4\x57\0\0WAVEfmt "
      "\x10\0\0\0\1\0\1\0\x40\x1F\0\0\x80\x3E\0\0\2\0\x10\0data\x80\x57\0\0";
  EXPECT_EQ(wav.substr(0, 44), std::string(header, 44));

  // Refusals leave the target alone and no partial file.
  const std::string keep = WriteFile(dir.File("keep.wav"), {'o', 'l', 'd'});
  EXPECT_FALSE(ExportRecordingToWav(WriteFile(dir.File("odd.dvrec"), std::vector<uint8_t>(331)),
                                    keep, &error));
  EXPECT_EQ(error, kRecordingCorruptedText);
  EXPECT_FALSE(ExportRecordingToWav(dir.File("none.dvrec"), keep, &error));
  EXPECT_EQ(error, kRecordingOpenFailedText);
  // The WAV cannot go over the recording it comes from.
  EXPECT_FALSE(ExportRecordingToWav(in, in, &error));
  EXPECT_EQ(std::filesystem::file_size(in), 7u * kRecord);
  // A directory that cannot be written to.
  EXPECT_FALSE(ExportRecordingToWav(in, dir.File("no/such/dir.wav"), &error));
  EXPECT_NE(error.find("no/such/dir.wav"), std::string::npos) << error;

  EXPECT_EQ(std::filesystem::file_size(keep), 3u);
  // call.dvrec, call.wav, keep.wav, odd.dvrec: no temporary left.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 4);
}

}  // namespace
}  // namespace dialvo
