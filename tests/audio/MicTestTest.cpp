// The audio test's capture and echo: blocks of a WAV microphone reach the
// callback in order as copies, the echo reaches a WAV speaker exactly while
// it is switched on, a device that fails leaves the other one working, and
// nothing runs on after Stop.
#include "audio/MicTest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <thread>

#include "audio/WavFile.h"
#include "base/NamedThread.h"
#include "tests/audio/AudioTestSupport.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/Wait.h"

namespace dialvo {
namespace {

// Moves when the test says, and by `leap` ms at every reading (with a leap,
// whatever it paces is due at once). Its Sleep returns at once, so that a
// device that cannot be opened gives up without delay.
class StepClock final : public Clock {
 public:
  explicit StepClock(uint32_t leap = 0) : leap_(leap) {}
  uint32_t TickMs() override { return now_.fetch_add(leap_); }
  void Sleep(uint32_t) override {}
  void Advance(uint32_t ms) { now_.fetch_add(ms); }

 private:
  const uint32_t leap_;
  std::atomic<uint32_t> now_{0};
};

// The microphone of one backend and the speakers of another, so that capture
// keeps the test's pace while the speakers may keep their own.
class SplitBackend final : public SoundBackend {
 public:
  SplitBackend(std::shared_ptr<SoundBackend> mic, std::shared_ptr<SoundBackend> speakers)
      : mic_(std::move(mic)), speakers_(std::move(speakers)) {}
  const char* Name() const override { return "split"; }
  bool Supports(const WaveFormat& format) const override {
    return mic_->Supports(format) && speakers_->Supports(format);
  }
  OpenedStream<CaptureStream> OpenCapture(const WaveFormat& format, uint32_t blockBytes) override {
    return mic_->OpenCapture(format, blockBytes);
  }
  OpenedStream<PlaybackStream> OpenPlayback(const WaveFormat& format,
                                            uint32_t blockBytes) override {
    return speakers_->OpenPlayback(format, blockBytes);
  }
  OpenedStream<PlaybackStream> OpenSoundOutput(const WaveFormat& format,
                                               uint32_t blockBytes) override {
    return speakers_->OpenSoundOutput(format, blockBytes);
  }
  Clock& DeviceClock() override { return mic_->DeviceClock(); }

 private:
  std::shared_ptr<SoundBackend> mic_;
  std::shared_ptr<SoundBackend> speakers_;
};

// Collects the blocks handed to the callback and lets the test wait for them.
class BlockLog {
 public:
  MicTest::BlockFn Fn() {
    return [this](std::vector<int16_t> block) {
      const NamedThread* thread = NamedThread::Current();
      std::lock_guard lock(mutex_);
      blocks_.push_back(std::move(block));
      if (thread == nullptr || thread->Name() != MicTest::kRecordThreadName) ++foreignCalls_;
    };
  }
  // Moves the microphone's clock on a block at a time until `count` blocks came.
  bool CaptureUpTo(StepClock& clock, size_t count) {
    for (size_t n = Blocks().size(); n < count; ++n) {
      clock.Advance(200);
      if (!test::WaitFor([&] { return Blocks().size() > n; })) return false;
    }
    return true;
  }
  std::vector<std::vector<int16_t>> Blocks() const {
    std::lock_guard lock(mutex_);
    return blocks_;
  }
  int ForeignCalls() const {
    std::lock_guard lock(mutex_);
    return foreignCalls_;
  }

 private:
  mutable std::mutex mutex_;  // guards the fields below; taken by the record thread and the test
  std::vector<std::vector<int16_t>> blocks_;
  int foreignCalls_ = 0;  // calls that came on another thread than the record thread
};

// A microphone, a speaker file and the sound around them: blocks come when
// the test advances the clock, played blocks land in the speaker file at once
// (unless another clock is given to pace the speakers).
struct Rig {
  explicit Rig(Clock& speakerClock) : speakerPacing(speakerClock) {}
  Rig() : speakerPacing(leap) {}

  // The microphone file holds blocks numbered 0 to count - 1.
  void WriteMic(int count) const {
    WavWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(micFile, 8000, 1, false, &error)) << error;
    ASSERT_TRUE(writer.WriteFrames(test::NumberedBlocks(0, count)));
  }
  std::shared_ptr<SoundBackend> Make() {
    std::string error;
    auto mic = test::FileBackend(clock, micFile, "", false, &error);
    EXPECT_TRUE(mic) << error;
    speakers = test::FileBackend(speakerPacing, "", speakerFile, false, &error);
    EXPECT_TRUE(speakers) << error;
    return std::make_shared<SplitBackend>(mic, speakers);
  }
  // The blocks played so far, in samples.
  std::vector<int16_t> Played() const {
    std::vector<int16_t> samples;
    if (!ReadWavFile(speakerFile, samples, nullptr, nullptr)) samples.clear();
    return samples;
  }

  test::ScratchDir dir;
  const std::string micFile = dir.File("mic.wav");
  const std::string speakerFile = dir.File("speaker.wav");
  StepClock clock;
  StepClock leap{1000};
  Clock& speakerPacing;
  std::shared_ptr<SoundBackend> speakers;
};

size_t ThreadsOfProcess() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                           std::filesystem::directory_iterator()));
}

// The count to come back to. A sanitizer's runtime starts a helper thread of
// its own with the process's first thread: let that happen first.
size_t ThreadsAtRest() {
  std::thread([] {}).join();
  return ThreadsOfProcess();
}

// Threads may linger a moment after they were joined.
testing::AssertionResult ThreadsEndTo(size_t count) {
  if (test::WaitFor([&] { return ThreadsOfProcess() == count; }))
    return testing::AssertionSuccess();
  return testing::AssertionFailure() << ThreadsOfProcess() << " threads, not " << count;
}

TEST(MicTest, BlocksArriveInOrderAsCopiesAndEchoFollowsTheSwitchFromTheNextBlockOn) {
  const size_t threadsBefore = ThreadsAtRest();
  const int namedBefore = NamedThread::LiveObjects();
  Rig rig;
  rig.WriteMic(8);
  MicTest mic(rig.Make());
  mic.Stop();  // never started: nothing happens
  BlockLog log;
  mic.Start(log.Fn());
  EXPECT_TRUE(mic.CaptureOpen());
  EXPECT_TRUE(mic.PlaybackOpen());
  EXPECT_EQ(mic.Errors(), "");
  EXPECT_EQ(NamedThread::LiveObjects(), namedBefore + 2);

  // Echo goes on on seeing block 1 and off on seeing block 4: blocks 2 to
  // 4 are played. The log keeps every block, so a block that the next
  // capture overwrote would show.
  ASSERT_TRUE(log.CaptureUpTo(rig.clock, 2));
  mic.SetEcho(true);
  ASSERT_TRUE(log.CaptureUpTo(rig.clock, 5));
  mic.SetEcho(false);
  ASSERT_TRUE(log.CaptureUpTo(rig.clock, 7));
  ASSERT_TRUE(
      test::WaitFor([&] { return rig.Played().size() >= size_t{3} * MicTest::kBlockSamples; }));
  mic.Stop();
  mic.Stop();

  const auto blocks = log.Blocks();
  ASSERT_EQ(blocks.size(), 7u);  // none after Stop
  for (size_t n = 0; n < blocks.size(); ++n) {
    EXPECT_EQ(blocks[n], test::NumberedBlock(static_cast<int>(n))) << n;
  }
  EXPECT_EQ(log.ForeignCalls(), 0);
  EXPECT_EQ(rig.Played(), test::NumberedBlocks(2, 3));
  EXPECT_FALSE(mic.CaptureOpen());
  EXPECT_FALSE(mic.PlaybackOpen());
  EXPECT_EQ(NamedThread::LiveObjects(), namedBefore);
  EXPECT_TRUE(ThreadsEndTo(threadsBefore));
}

TEST(MicTest, EitherDeviceFailingLeavesTheOtherWorkingAndSaysWhy) {
  Rig rig;
  rig.WriteMic(4);
  MicTest mic(rig.Make());
  const WaveFormat voice = WaveFormat::Pcm(8000, 1, 16);
  BlockLog log;

  // No microphone file: the speakers still open, and hold the speaker file.
  ASSERT_EQ(std::remove(rig.micFile.c_str()), 0);
  mic.Start(log.Fn());
  EXPECT_FALSE(mic.CaptureOpen());
  EXPECT_TRUE(mic.PlaybackOpen());
  EXPECT_NE(mic.Errors().find("The microphone could not be opened: cannot open " + rig.micFile),
            std::string::npos)
      << mic.Errors();
  EXPECT_EQ(mic.Errors().find("speakers"), std::string::npos) << mic.Errors();
  EXPECT_FALSE(rig.speakers->OpenPlayback(voice, 3200).stream);
  rig.clock.Advance(400);
  mic.Stop();
  EXPECT_EQ(log.Blocks().size(), 0u);
  EXPECT_NE(mic.Errors(), "");  // kept after Stop

  // Speakers held by someone else: capture still runs, and echo finds no
  // device to write to.
  rig.WriteMic(4);
  {
    OpenedStream<PlaybackStream> held = rig.speakers->OpenPlayback(voice, 3200);
    ASSERT_TRUE(held.stream) << held.error;
    mic.SetEcho(true);
    mic.Start(log.Fn());
    EXPECT_TRUE(mic.CaptureOpen());
    EXPECT_FALSE(mic.PlaybackOpen());
    EXPECT_EQ(mic.Errors(), "The speakers could not be opened: " + rig.speakerFile +
                                " is already being played into");
    ASSERT_TRUE(log.CaptureUpTo(rig.clock, 2));
    mic.Stop();
  }
  EXPECT_EQ(log.Blocks(),
            (std::vector<std::vector<int16_t>>{test::NumberedBlock(0), test::NumberedBlock(1)}));
  EXPECT_TRUE(rig.Played().empty());

  // With both back, a new Start opens both and forgets the old complaints.
  mic.Start(nullptr);
  EXPECT_TRUE(mic.CaptureOpen());
  EXPECT_TRUE(mic.PlaybackOpen());
  EXPECT_EQ(mic.Errors(), "");
}

TEST(MicTest, SpeakersThatNeverPlayHoldUpNeitherCaptureNorStop) {
  StepClock frozen;  // never advanced: the first echoed block never finishes playing
  const size_t threadsBefore = ThreadsAtRest();
  Rig rig(frozen);
  rig.WriteMic(8);
  MicTest mic(rig.Make());
  BlockLog log;
  mic.SetEcho(true);
  mic.Start(log.Fn());
  ASSERT_TRUE(mic.PlaybackOpen());
  // The ring fills after four blocks; the rest are dropped, not waited for.
  ASSERT_TRUE(log.CaptureUpTo(rig.clock, 8));
  mic.Stop();
  EXPECT_TRUE(ThreadsEndTo(threadsBefore));  // the stuck device's worker too
  EXPECT_EQ(log.Blocks().size(), 8u);
  EXPECT_TRUE(rig.Played().empty());
}

}  // namespace
}  // namespace dialvo
