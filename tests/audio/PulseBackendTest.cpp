// The PulseAudio backend against a private server the test starts itself.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "audio/PlaySound.h"
#include "audio/WaveIn.h"
#include "audio/WaveOut.h"
#include "base/ThreadId.h"
#include "tests/audio/AudioTestSupport.h"
#include "tests/support/PulseServer.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/Wait.h"
#include "tests/support/WavMaker.h"

namespace dialvo {
namespace {

using test::NextMessage;

constexpr const char* kProgram = "dialvo-pulse-test";

std::shared_ptr<SoundBackend> PulseBackend(const std::string& server, Clock* clock = nullptr) {
  SoundBackendOptions options;
  options.kind = SoundBackendKind::kPulse;
  options.programName = kProgram;
  options.server = server;
  options.clock = clock;
  return CreateSoundBackend(options, nullptr);
}

double Rms(const std::vector<int16_t>& samples) {
  double sum = 0;
  for (int16_t s : samples) sum += static_cast<double>(s) * s;
  return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

TEST(PulseBackend, OpenFailsAfterItsRetriesWhenNoServerAnswers) {
  test::ScratchDir dir;
  test::RecordingClock clock;
  auto backend = PulseBackend("unix:" + dir.File("no-server"), &clock);
  WaveIn in(1600, 8000, 1, 16, backend);
  EXPECT_EQ(in.Open(1), 0);
  EXPECT_NE(in.LastOpenError().find("PulseAudio: cannot connect"), std::string::npos)
      << in.LastOpenError();
  WaveOut out(1600, 8000, 1, 16, backend);
  EXPECT_EQ(out.Open(1), 0);
  EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>(16, 250));
}

class PulseServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.StartForThisProcess(&error)) << error;
    backend_ = PulseBackend(server_.Address());
  }
  // The clients the server lists with our program's name.
  int ClientsNamedAfterUs() {
    std::string out;
    if (server_.Pactl({"list", "clients"}, &out) != 0) return -1;
    int count = 0;
    for (size_t at = out.find(kProgram); at != std::string::npos; at = out.find(kProgram, at + 1)) {
      ++count;
    }
    return count;
  }

  test::PulseServer server_;
  std::shared_ptr<SoundBackend> backend_;
};

// One test, as the server's null sink takes a second or two to get going
// whenever it starts from idle.
TEST_F(PulseServerTest, CaptureHearsWhatPlaybackPlaysAndSoundsPlayToTheirEnd) {
  test::ScratchDir dir;
  std::string error;
  const test::ToneSpec spec{.seconds = 0.4, .rate = 44100};
  ASSERT_TRUE(test::MakeToneWav(dir.File("click.wav"), spec, &error)) << error;

  // The playback owner: two blocks up front, then one per played buffer.
  std::atomic<uint32_t> playerId{0};
  std::atomic<int> played{0};
  std::atomic<bool> opened{false};
  WaveOut out(1600, 8000, 1, 16, backend_);
  std::thread player([&] {
    PeekMessage();
    opened = out.Open(CurrentThreadId()) == 1;
    playerId = CurrentThreadId();
    if (!opened) return;
    const auto tone = test::Tone(1600, 500);
    out.Write(tone);
    out.Write(tone);
    for (;;) {
      const ThreadMessage msg = GetMessage();
      if (msg.message == kUserMessageBase + 2) break;
      if (msg.message != MM_WOM_DONE) continue;
      out.BufferDone();
      out.Write(tone);
      ++played;
    }
    out.Stop();
    out.Close();
  });
  // Open gives up within about two seconds.
  test::WaitFor([&] { return playerId != 0; }, 10000);

  test::DrainMessages();
  WaveIn in(1600, 8000, 1, 16, backend_);
  const bool captureOpen = opened && in.Open(CurrentThreadId()) == 1;
  EXPECT_TRUE(opened) << out.LastOpenError();
  EXPECT_TRUE(captureOpen) << in.LastOpenError();
  double loudest = 0;
  int blocks = 0;
  while (captureOpen && blocks < 40 && loudest < 2000) {
    if (!NextMessage(MM_WIM_DATA, 3000)) break;
    if (!in.IsCurrentDone()) continue;
    loudest = std::max(loudest, Rms(test::AsSamples(in.CurrentBuffer())));
    in.ReleaseBuffer();
    ++blocks;
  }
  EXPECT_GE(loudest, 2000) << "after " << blocks << " blocks";
  EXPECT_GT(played, 0);
  // Both streams carry the program's name.
  EXPECT_EQ(ClientsNamedAfterUs(), 2);

  // Sounds, while the sink is running.
  SoundPlayer sounds(backend_);
  EXPECT_TRUE(sounds.Play(dir.File("click.wav"), kSoundAsync)) << sounds.LastError();
  EXPECT_TRUE(sounds.IsPlaying());
  EXPECT_TRUE(test::WaitFor([&] { return !sounds.IsPlaying(); }, 5000));

  EXPECT_TRUE(sounds.Play(dir.File("click.wav"), kSoundAsync | kSoundLoop));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_TRUE(sounds.IsPlaying());
  sounds.Stop();
  EXPECT_FALSE(sounds.IsPlaying());

  in.Stop();
  in.Close();
  if (opened) PostThreadMessage(playerId, kUserMessageBase + 2, 0, 0);
  player.join();
  EXPECT_TRUE(test::WaitFor([&] { return ClientsNamedAfterUs() == 0; }));
}

}  // namespace
}  // namespace dialvo
