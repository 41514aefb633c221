// Capture from and playback into WAV files, paced by an injected clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "audio/WavFile.h"
#include "audio/WaveIn.h"
#include "audio/WaveOut.h"
#include "base/ThreadId.h"
#include "tests/audio/AudioTestSupport.h"
#include "tests/support/FakeClock.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/Wait.h"
#include "tests/support/WavMaker.h"

namespace dialvo {
namespace {

using test::FileBackend;
using test::NextMessage;
using ::testing::AllOf;
using ::testing::HasSubstr;

TEST(FileBackend, RefusesPlayFilesThatAreNotMono8kHz16BitWavsAndUnwritableRecordings) {
  test::ScratchDir dir;
  std::string error;
  struct Case {
    const char* name;
    test::ToneSpec spec;
    const char* found;
  };
  const Case cases[] = {
      {"rate.wav", {.rate = 22050}, "22050 Hz, 1 channel, 16-bit PCM"},
      {"stereo.wav", {.channels = 2}, "8000 Hz, 2 channels, 16-bit PCM"},
      {"bytes.wav", {.bits = 8, .encoding = "unsigned-integer"}, "8000 Hz, 1 channel, 8-bit PCM"},
      {"float.wav", {.bits = 32, .encoding = "floating-point"}, "32 bit float"},
  };
  test::FakeClock clock;
  for (const Case& c : cases) {
    ASSERT_TRUE(test::MakeToneWav(dir.File(c.name), c.spec, &error)) << error;
    EXPECT_FALSE(FileBackend(clock, dir.File(c.name), "", false, &error)) << c.name;
    EXPECT_THAT(error, AllOf(HasSubstr(dir.File(c.name)),
                             HasSubstr("need an 8000 Hz mono 16-bit PCM WAV"), HasSubstr(c.found)));
  }
  ASSERT_TRUE(test::MakeToneWav(dir.File("tone.au"), {}, &error)) << error;
  EXPECT_FALSE(FileBackend(clock, dir.File("tone.au"), "", false, &error));
  EXPECT_THAT(error, HasSubstr("not a WAV file"));
  EXPECT_FALSE(FileBackend(clock, dir.File("missing.wav"), "", false, &error));
  EXPECT_THAT(error, HasSubstr("cannot open " + dir.File("missing.wav")));

  // A recording that cannot be written is refused at once too.
  EXPECT_FALSE(FileBackend(clock, "", dir.File("no-such-dir/rec.wav"), false, &error));
  EXPECT_THAT(error, HasSubstr("cannot open " + dir.File("no-such-dir/rec.wav")));

  ASSERT_TRUE(test::MakeSpeechWav(dir.File("speech.wav"), "hello", &error)) << error;
  EXPECT_TRUE(FileBackend(clock, dir.File("speech.wav"), dir.File("rec.wav"), false, &error))
      << error;
}

// 2.5 blocks of numbered samples.
std::vector<int16_t> WriteShortFile(const std::string& path) {
  std::vector<int16_t> samples = test::NumberedBlocks(1, 3);
  samples.resize(4000);
  WavWriter writer;
  EXPECT_TRUE(writer.Open(path, 8000, 1, false, nullptr));
  EXPECT_TRUE(writer.WriteFrames(samples));
  return samples;
}

// Captures n blocks, advancing the clock by one block each time.
std::vector<int16_t> Capture(WaveIn& in, test::FakeClock& clock, int blocks) {
  std::vector<int16_t> captured;
  for (int i = 0; i < blocks; ++i) {
    clock.Advance(200);
    // Buffers handed back by an earlier Stop may still be announced; as
    // the consumer contract says, those find the current buffer not done.
    bool done = false;
    while (!done && NextMessage(MM_WIM_DATA)) done = in.IsCurrentDone();
    if (!done) break;
    const auto block = test::AsSamples(in.CurrentBuffer());
    captured.insert(captured.end(), block.begin(), block.end());
    in.ReleaseBuffer();
  }
  return captured;
}

TEST(FileBackend, CaptureIsPacedAndDeliversTheFileFromItsStartThenSilenceOrTheFileAgain) {
  test::ScratchDir dir;
  const auto file = WriteShortFile(dir.File("play.wav"));
  test::DrainMessages();
  for (const bool loop : {false, true}) {
    test::FakeClock clock;
    WaveIn in(1600, 8000, 1, 16, FileBackend(clock, dir.File("play.wav"), "", loop));
    for (int run = 0; run < 2; ++run) {  // every Open starts at the first sample
      ASSERT_EQ(in.Open(CurrentThreadId()), 1);
      const auto captured = Capture(in, clock, 5);
      ASSERT_EQ(captured.size(), 8000u);
      std::vector<int16_t> expected = file;
      if (loop) {
        expected.insert(expected.end(), file.begin(), file.end());
      } else {
        expected.resize(8000);
      }
      EXPECT_EQ(captured, expected) << "loop " << loop;
      in.Stop();
      in.Close();
    }
  }

  // Paced by the clock, and catching up when late.
  test::DrainMessages();
  test::FakeClock clock(1000);
  WaveIn in(1600, 8000, 1, 16, FileBackend(clock, dir.File("play.wav"), "", false));
  ASSERT_EQ(in.Open(CurrentThreadId()), 1);
  clock.Advance(199);
  EXPECT_FALSE(NextMessage(MM_WIM_DATA, 50));
  clock.Advance(1);
  ASSERT_TRUE(NextMessage(MM_WIM_DATA));
  EXPECT_EQ(test::AsSamples(in.CurrentBuffer()), test::NumberedBlock(1));
  in.ReleaseBuffer();
  // 600 ms late: the three blocks due come at once.
  clock.Advance(600);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(NextMessage(MM_WIM_DATA)) << i;
  EXPECT_FALSE(NextMessage(MM_WIM_DATA, 50));
}

TEST(FileBackend, PlaybackWritesEachPlayedBlockWithAValidHeaderAndContinuesAfterReopen) {
  test::ScratchDir dir;
  const std::string rec = dir.File("rec.wav");
  test::FakeClock clock;
  auto backend = FileBackend(clock, "", rec, false);
  test::DrainMessages();
  WaveOut out(1600, 8000, 1, 16, backend);
  ASSERT_EQ(out.Open(CurrentThreadId()), 1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(out.Write(test::NumberedBlock(i)), 1);

  // The file is read while the device still writes it, as a killed
  // program would leave it.
  for (int i = 0; i < 3; ++i) {
    clock.Advance(200);
    ASSERT_TRUE(NextMessage(MM_WOM_DONE));
    out.BufferDone();
    std::vector<int16_t> samples;
    WavInfo info;
    std::string error;
    ASSERT_TRUE(ReadWavFile(rec, samples, &info, &error)) << error;
    EXPECT_EQ(info.frames, samples.size());
    EXPECT_EQ(info.Describe(), "8000 Hz, 1 channel, 16-bit PCM");
    EXPECT_EQ(samples, test::NumberedBlocks(0, i + 1));
  }
  // Only one device at a time plays into the file.
  auto second = backend->OpenPlayback(WaveFormat::Pcm(8000, 1, 16), 3200);
  EXPECT_FALSE(second.stream);
  EXPECT_EQ(second.result, kMmAllocated);

  // A block stopped before it has played is not written.
  out.Write(test::NumberedBlock(7));
  clock.Advance(100);
  out.Stop();
  out.Close();
  test::DrainMessages();
  ASSERT_EQ(out.Open(CurrentThreadId()), 1);
  out.Write(test::NumberedBlock(3));
  clock.Advance(200);
  ASSERT_TRUE(NextMessage(MM_WOM_DONE));
  std::vector<int16_t> samples;
  ASSERT_TRUE(ReadWavFile(rec, samples, nullptr, nullptr));
  EXPECT_EQ(samples, test::NumberedBlocks(0, 4));
}

TEST(FileBackend, WriterOnAnotherThreadAndOwnerTogetherPlayEveryBlockInOrder) {
  test::ScratchDir dir;
  const std::string rec = dir.File("rec.wav");
  test::FakeClock clock;
  test::DrainMessages();
  WaveOut out(1600, 8000, 1, 16, FileBackend(clock, "", rec, false));
  ASSERT_EQ(out.Open(CurrentThreadId()), 1);
  constexpr int kBlocks = 12;
  std::atomic<bool> abort{false};
  std::thread writer([&] {
    for (int i = 0; i < kBlocks && !abort; ++i) {
      while (out.Write(test::NumberedBlock(i)) == 0 && !abort) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  });
  // This thread owns the device: it lets one block play at a time and hands
  // each back, while the writer fills the slots freed.
  bool played = test::WaitFor([&] { return out.Outstanding() == 4; });
  for (int done = 0; played && done < kBlocks; ++done) {
    clock.Advance(200);
    played = NextMessage(MM_WOM_DONE).has_value();
    if (played) out.BufferDone();
  }
  abort = !played;
  writer.join();
  out.Stop();
  out.Close();
  ASSERT_TRUE(played);
  std::vector<int16_t> samples;
  ASSERT_TRUE(ReadWavFile(rec, samples, nullptr, nullptr));
  EXPECT_EQ(samples, test::NumberedBlocks(0, kBlocks));
}

}  // namespace
}  // namespace dialvo
