// The capture and playback rings: buffer rotation, the done flags the
// owners look at, stopping, closing and opening with retries.
#include <gtest/gtest.h>

#include <algorithm>

#include "audio/PlaySound.h"
#include "audio/WaveIn.h"
#include "audio/WaveOut.h"
#include "base/ThreadId.h"
#include "tests/audio/AudioTestSupport.h"
#include "tests/support/FakeClock.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/WavMaker.h"

namespace dialvo {
namespace {

using test::NextMessage;
using test::NullBackend;

std::vector<uint32_t> QueuedIndexes(const WaveIn& in) {
  std::vector<uint32_t> queued;
  for (uint32_t i = 0; i < WaveIn::kBufferCount; ++i) {
    if (in.Header(i).IsQueued()) queued.push_back(i);
  }
  return queued;
}

// Whether the next `message` of the thread's queue is about that buffer.
testing::AssertionResult NextIsAbout(uint32_t message, const WaveHeader& header) {
  const std::optional<ThreadMessage> msg = NextMessage(message);
  if (!msg) return testing::AssertionFailure() << "no message";
  if (msg->lParam == reinterpret_cast<uintptr_t>(&header)) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "a message about another buffer";
}

TEST(WaveIn, TheRestingBufferRotatesThroughTheRingAndStopHandsEveryQueuedOneBack) {
  test::FakeClock clock;
  test::DrainMessages();
  WaveIn in(1600, 8000, 1, 16, NullBackend(clock));
  EXPECT_EQ(in.OpenResult(), kMmBadDeviceId);
  in.Close();  // never opened: nothing happens
  ASSERT_EQ(in.Open(CurrentThreadId()), 1);
  EXPECT_EQ(in.OpenResult(), kMmNoError);
  EXPECT_EQ(in.CurrentIndex(), 0u);
  EXPECT_EQ(QueuedIndexes(in), (std::vector<uint32_t>{0, 1, 2, 3}));

  // Each release requeues the buffer released before it: 4 after 0, and at
  // index 4 buffer 3 goes back and the index wraps to 0.
  const std::vector<std::vector<uint32_t>> queuedAfter = {{1, 2, 3, 4}, {0, 2, 3, 4}, {0, 1, 3, 4},
                                                          {0, 1, 2, 4}, {0, 1, 2, 3}, {1, 2, 3, 4}};
  for (uint32_t n = 0; n < queuedAfter.size(); ++n) {
    const uint32_t index = in.CurrentIndex();
    EXPECT_FALSE(in.IsCurrentDone());
    clock.Advance(200);
    ASSERT_TRUE(NextIsAbout(MM_WIM_DATA, in.Header(index))) << n;
    ASSERT_TRUE(in.IsCurrentDone());
    const auto block = in.CurrentBuffer();
    EXPECT_EQ(block.size(), 3200u);
    EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(in.ReleaseBuffer(), 1);
    EXPECT_EQ(in.CurrentIndex(), (index + 1) % 5);
    EXPECT_EQ(QueuedIndexes(in), queuedAfter[n]) << n;
  }

  // Buffer 0 rests; releasing after Stop requeues nothing.
  ASSERT_EQ(in.CurrentIndex(), 1u);
  in.Stop();
  for (uint32_t index : {1, 2, 3, 4}) ASSERT_TRUE(NextIsAbout(MM_WIM_DATA, in.Header(index)));
  EXPECT_TRUE(QueuedIndexes(in).empty());
  in.Stop();  // a second Stop does nothing
  ASSERT_TRUE(in.IsCurrentDone());
  EXPECT_EQ(in.ReleaseBuffer(), 1);
  EXPECT_EQ(in.CurrentIndex(), 1u);
  EXPECT_EQ(in.Header(1).flags.load() & WHDR_PREPARED, 0u);
  EXPECT_TRUE(QueuedIndexes(in).empty());
  // A stopped device delivers nothing more.
  clock.Advance(1000);
  EXPECT_FALSE(NextMessage(MM_WIM_DATA, 50));
  in.Close();
  EXPECT_EQ(in.OpenResult(), kMmBadDeviceId);

  // A new Open starts a fresh ring.
  ASSERT_EQ(in.Open(CurrentThreadId()), 1);
  EXPECT_EQ(in.CurrentIndex(), 0u);
  EXPECT_EQ(QueuedIndexes(in), (std::vector<uint32_t>{0, 1, 2, 3}));
}

TEST(WaveOut, RingTakesFourBlocksEachBufferDoneFreesOneSlotAndStopResetsOnce) {
  test::FakeClock clock;
  test::DrainMessages();
  WaveOut out(1600, 8000, 1, 16, NullBackend(clock));
  ASSERT_EQ(out.Open(CurrentThreadId()), 1);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(out.Write(test::NumberedBlock(i)), 1) << i;
  EXPECT_EQ(out.Write(test::NumberedBlock(4)), 0);
  EXPECT_EQ(out.Write(std::vector<int16_t>(100)), 0);  // short blocks are refused
  EXPECT_EQ(out.Outstanding(), 4u);
  EXPECT_EQ(out.Tail(), 4u);

  // One block plays per 200 ms, oldest first.
  for (uint32_t n = 0; n < 7; ++n) {
    clock.Advance(200);
    ASSERT_TRUE(NextIsAbout(MM_WOM_DONE, out.Header(n % 5))) << n;
    EXPECT_TRUE(out.Header(n % 5).IsDone());
    EXPECT_EQ(out.BufferDone(), 1);
    EXPECT_EQ(out.Head(), (n + 1) % 5);
    EXPECT_EQ(out.Write(test::NumberedBlock(static_cast<int>(n))), 1);
    EXPECT_EQ(out.Write(test::NumberedBlock(static_cast<int>(n))), 0);
    EXPECT_EQ(out.Outstanding(), 4u);
  }

  // Stop hands the four queued blocks back, oldest first.
  out.Stop();
  for (uint32_t slot : {2, 3, 4, 0}) {
    ASSERT_TRUE(NextIsAbout(MM_WOM_DONE, out.Header(slot)));
    out.BufferDone();
  }
  // The second Stop leaves a block written since at the device.
  ASSERT_EQ(out.Write(test::NumberedBlock(2)), 1);
  out.Stop();
  EXPECT_TRUE(out.Header(1).IsQueued());
  clock.Advance(200);
  ASSERT_TRUE(NextMessage(MM_WOM_DONE));
  EXPECT_EQ(out.Outstanding(), 1u);  // BufferDone not called for it

  // Close empties the ring but keeps the count.
  out.Close();
  EXPECT_EQ(out.OpenResult(), kMmBadDeviceId);
  EXPECT_EQ(out.Head(), 0u);
  EXPECT_EQ(out.Tail(), 0u);
  EXPECT_EQ(out.Outstanding(), 1u);

  ASSERT_EQ(out.Open(CurrentThreadId()), 1);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(out.Write(test::NumberedBlock(i)), 1);
  EXPECT_EQ(out.Write(test::NumberedBlock(4)), 0);
  // A close while buffers are queued fails and leaves the device open; the
  // destructor takes the buffers back before the ring goes.
  out.Close();
  EXPECT_EQ(out.OpenResult(), kMmNoError);
}

TEST(WaveDevices, OpenTriesEightTimesAQuarterSecondApartAndPlaybackStopsTheProgramsOwnSound) {
  test::RecordingClock clock;
  auto busy = std::make_shared<test::FlakyBackend>(clock, 100);
  WaveIn in(1600, 8000, 1, 16, busy);
  EXPECT_EQ(in.Open(1), 0);
  EXPECT_EQ(in.OpenResult(), kMmAllocated);
  EXPECT_EQ(in.LastOpenError(), "busy");
  EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>(8, 250));
  ASSERT_EQ(busy->Attempts().size(), 8u);
  EXPECT_EQ(busy->Attempts().back().tick, 7u * 250);
  in.Close();

  WaveOut out(1600, 8000, 1, 16, busy);
  EXPECT_EQ(out.Open(1), 0);
  EXPECT_EQ(busy->Attempts().size(), 16u);
  EXPECT_EQ(out.Write(test::NumberedBlock(0)), 1);  // the ring works without a device

  // An unsupported format is refused without a single attempt.
  test::RecordingClock quiet;
  auto refusing = std::make_shared<test::FlakyBackend>(quiet, 0, false);
  EXPECT_EQ(WaveIn(1600, 8000, 1, 16, refusing).Open(1), 0);
  EXPECT_EQ(WaveOut(1600, 8000, 1, 16, refusing).Open(1), 0);
  EXPECT_TRUE(refusing->Attempts().empty());
  EXPECT_TRUE(quiet.Sleeps().empty());

  // Opening playback stops the program's own sound after a failed attempt.
  test::ScratchDir dir;
  std::string error;
  ASSERT_TRUE(test::MakeToneWav(dir.File("ring.wav"), {}, &error)) << error;
  test::FakeClock soundClock;
  SetDefaultSoundBackend(NullBackend(soundClock));
  ASSERT_TRUE(PlaySound(dir.File("ring.wav").c_str(), kSoundAsync | kSoundLoop));

  test::RecordingClock flakyClock;
  auto flaky = std::make_shared<test::FlakyBackend>(flakyClock, 2);
  WaveOut speaker(1600, 8000, 1, 16, flaky);
  EXPECT_EQ(speaker.Open(1), 1);
  const auto attempts = flaky->Attempts();
  ASSERT_EQ(attempts.size(), 3u);
  EXPECT_TRUE(attempts[0].soundPlaying);
  EXPECT_FALSE(attempts[1].soundPlaying);
  EXPECT_EQ(flakyClock.Sleeps(), std::vector<uint32_t>(2, 250));
  speaker.Close();
  SetDefaultSoundBackend(nullptr);
}

}  // namespace
}  // namespace dialvo
