// The program's own sounds: asynchronous, looped or not, stopped on demand.
#include "audio/PlaySound.h"

#include <gtest/gtest.h>

#include "tests/audio/AudioTestSupport.h"
#include "tests/support/FakeClock.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/Wait.h"
#include "tests/support/WavMaker.h"

namespace dialvo {
namespace {

class PlaySoundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    // A sound in another format than the voice's: the output takes any.
    test::ToneSpec spec;
    spec.seconds = 0.3;
    spec.rate = 22050;
    spec.channels = 2;
    ASSERT_TRUE(test::MakeToneWav(dir_.File("click.wav"), spec, &error)) << error;
  }
  test::ScratchDir dir_;
  test::FakeClock clock_;
  std::shared_ptr<SoundBackend> backend_ = test::NullBackend(clock_);
};

// Moves the clock on in steps of 100 ms until the player has finished;
// the steps taken, or -1 when it still plays after `limit` steps.
int StepsUntilSilent(SoundPlayer& player, test::FakeClock& clock, int limit) {
  for (int steps = 0; steps < limit; ++steps) {
    if (test::WaitFor([&] { return !player.IsPlaying(); }, 20)) return steps;
    clock.Advance(100);
  }
  return -1;
}

TEST_F(PlaySoundTest, PlaysOnceOrLoopsUntilStopped) {
  SoundPlayer player(backend_);
  ASSERT_TRUE(player.Play(dir_.File("click.wav"), kSoundAsync)) << player.LastError();
  EXPECT_TRUE(player.IsPlaying());
  const int steps = StepsUntilSilent(player, clock_, 20);
  EXPECT_GE(steps, 3);  // 300 ms of sound
  EXPECT_LT(steps, 20);

  ASSERT_TRUE(player.Play(dir_.File("click.wav"), kSoundAsync | kSoundLoop));
  EXPECT_EQ(StepsUntilSilent(player, clock_, 20), -1);
  EXPECT_TRUE(player.IsPlaying());
  // Without kSoundNoStop a new sound replaces the old one; with it, it is
  // refused while one plays.
  EXPECT_FALSE(player.Play(dir_.File("click.wav"), kSoundAsync | kSoundNoStop));
  EXPECT_TRUE(player.Play(dir_.File("click.wav"), kSoundAsync));
  player.Stop();
  EXPECT_FALSE(player.IsPlaying());
  EXPECT_TRUE(player.Play(dir_.File("click.wav"), kSoundAsync | kSoundNoStop));
}

TEST_F(PlaySoundTest, NamesAreLookedUpInTheSoundDirectory) {
  SetDefaultSoundBackend(backend_);
  SetSoundDirectory(dir_.Path());
  EXPECT_EQ(SoundFilePath("click.wav"), dir_.File("click.wav"));
  EXPECT_EQ(SoundFilePath("/elsewhere/click.wav"), "/elsewhere/click.wav");
  ASSERT_TRUE(PlaySound("click.wav", kSoundAsync | kSoundLoop));
  EXPECT_TRUE(IsSoundPlaying());
  EXPECT_TRUE(PlaySound(nullptr, 0));
  EXPECT_FALSE(IsSoundPlaying());

  SoundPlayer player;
  EXPECT_FALSE(player.Play("hangup.wav", kSoundAsync | kSoundNoDefault));
  EXPECT_NE(player.LastError().find(dir_.File("hangup.wav")), std::string::npos)
      << player.LastError();
  SetDefaultSoundBackend(nullptr);
}

}  // namespace
}  // namespace dialvo
