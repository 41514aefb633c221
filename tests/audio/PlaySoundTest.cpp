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

// Moves the clock on in steps of 100 ms until the player has finished;
// the steps taken, or -1 when it still plays after `limit` steps.
int StepsUntilSilent(SoundPlayer& player, test::FakeClock& clock, int limit) {
  for (int steps = 0; steps < limit; ++steps) {
    if (test::WaitFor([&] { return !player.IsPlaying(); }, 20)) return steps;
    clock.Advance(100);
  }
  return -1;
}

TEST(PlaySound, PlaysOnceOrLoopsUntilStoppedAndLooksNamesUpInTheSoundDirectory) {
  test::ScratchDir dir;
  std::string error;
  // A sound in another format than the voice's: the output takes any.
  const test::ToneSpec spec{.seconds = 0.3, .rate = 22050, .channels = 2};
  ASSERT_TRUE(test::MakeToneWav(dir.File("click.wav"), spec, &error)) << error;
  test::FakeClock clock;
  const std::shared_ptr<SoundBackend> backend = test::NullBackend(clock);

  SoundPlayer player(backend);
  ASSERT_TRUE(player.Play(dir.File("click.wav"), kSoundAsync)) << player.LastError();
  EXPECT_TRUE(player.IsPlaying());
  const int steps = StepsUntilSilent(player, clock, 20);
  EXPECT_GE(steps, 3);  // 300 ms of sound
  EXPECT_LT(steps, 20);

  ASSERT_TRUE(player.Play(dir.File("click.wav"), kSoundAsync | kSoundLoop));
  EXPECT_EQ(StepsUntilSilent(player, clock, 20), -1);
  EXPECT_TRUE(player.IsPlaying());
  // Without kSoundNoStop a new sound replaces the old one; with it, it is
  // refused while one plays.
  EXPECT_FALSE(player.Play(dir.File("click.wav"), kSoundAsync | kSoundNoStop));
  EXPECT_TRUE(player.Play(dir.File("click.wav"), kSoundAsync));
  player.Stop();
  EXPECT_FALSE(player.IsPlaying());
  EXPECT_TRUE(player.Play(dir.File("click.wav"), kSoundAsync | kSoundNoStop));

  // The process's own sounds, by name.
  SetDefaultSoundBackend(backend);
  SetSoundDirectory(dir.Path());
  EXPECT_EQ(SoundFilePath("click.wav"), dir.File("click.wav"));
  EXPECT_EQ(SoundFilePath("/elsewhere/click.wav"), "/elsewhere/click.wav");
  ASSERT_TRUE(PlaySound("click.wav", kSoundAsync | kSoundLoop));
  EXPECT_TRUE(IsSoundPlaying());
  EXPECT_TRUE(PlaySound(nullptr, 0));
  EXPECT_FALSE(IsSoundPlaying());

  SoundPlayer onDefaults;
  EXPECT_FALSE(onDefaults.Play("hangup.wav", kSoundAsync | kSoundNoDefault));
  EXPECT_NE(onDefaults.LastError().find(dir.File("hangup.wav")), std::string::npos)
      << onDefaults.LastError();
  SetDefaultSoundBackend(nullptr);
}

}  // namespace
}  // namespace dialvo
