// The audio items of the desktop program: the audio test (capture drawn,
// echo, the engine stepping aside) on the file backend, and the volume
// sliders against a private PulseAudio server.
#include <gmock/gmock.h>

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <filesystem>

#include "app/MainWindow.h"
#include "app/MixerController.h"
#include "app/SettingsDialogs.h"
#include "controls/LevelDisplay.h"
#include "controls/WaveformView.h"
#include "tests/app/AppHarness.h"
#include "tests/support/PulseServer.h"
#include "tests/support/WavMaker.h"

namespace dialvo::test {
namespace {

TEST(AudioTest, DrawsTheMicrophoneEchoesOnRequestAndGivesTheEngineBack) {
  ControllerRig rig;
  const std::string speakerFile = rig.dir.File("speaker.wav");
  MainWindowOptions options = PlainWindow();
  options.sound = FileSound(PartyTone(rig.dir.File("mic.wav"), 440, 0.5), speakerFile);
  ASSERT_NE(options.sound, nullptr);
  MainWindow window(*rig.calls, nullptr, rig.settings, options);

  window.OpenAudioTest();
  auto* dialog = VisibleWindow<AudioTestDialog>("audioTestDialog");
  ASSERT_NE(dialog, nullptr);
  // The engine stepped aside for the devices.
  ASSERT_TRUE(WaitForGui([&] { return rig.factory->engines[0]->stops == 1; }));
  ASSERT_TRUE(WaitForGui([&] { return dialog->Waveform()->BlockCount() >= 2; }));
  const std::vector<int16_t>& block = dialog->Waveform()->Block();
  ASSERT_EQ(block.size(), 1600u);
  EXPECT_GT(BlockPeak(block.data(), block.size()), 8000);  // the tone, not silence
  // Without a mixer the sliders stay disabled rather than lie.
  EXPECT_FALSE(Child<QSlider>(dialog, "testMasterVolume")->isEnabled());

  // Echo: what is spoken reaches the speaker from the next block on.
  const auto speaker = [&] {
    std::error_code ec;
    const auto size = std::filesystem::file_size(speakerFile, ec);
    return ec ? 0 : size;
  };
  const auto before = speaker();
  Child<QCheckBox>(dialog, "echoBox")->setChecked(true);
  constexpr uintmax_t kTwoBlocks = uintmax_t{2} * 3200;
  EXPECT_TRUE(WaitForGui([&] { return speaker() >= before + kTwoBlocks; }));

  // Cancel ends it as Finish does: devices closed, the engine listens again.
  dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
  ASSERT_TRUE(WaitForGui([&] {
    return rig.factory->engines.size() == 2 && rig.calls->State() == CallState::kListening;
  }));
  EXPECT_EQ(VisibleWindow("audioTestDialog"), nullptr);

  // Not during a call.
  rig.StartCall(FakeConnection(1), "bob");
  window.OpenAudioTest();
  ASSERT_TRUE(WaitForGui([] { return VisibleWindow("messageBox") != nullptr; }));
  EXPECT_EQ(VisibleWindow<QMessageBox>("messageBox")->text(),
            QStringLiteral("You cannot test the mic settings when a call is in progress."));
  EXPECT_EQ(VisibleWindow("audioTestDialog"), nullptr);
  EXPECT_EQ(rig.Engine().stops, 0);
}

// A volume in whole percent, rounded as pactl prints it.
int Percent(PulseServer& server, const std::string& kind, const std::string& name) {
  return static_cast<int>((uint64_t{server.Volume(kind, name)} * 100 + 32768) / 65536);
}

TEST(VolumeSliders, TheWindowsAndTheAudioTestsSlidersSetAndFollowTheSoundServer) {
  PulseServer server;
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  std::string out;
  ASSERT_EQ(server.Pactl({"load-module", "module-null-source", "source_name=mic"}, &out), 0) << out;
  ASSERT_EQ(server.Pactl({"set-source-volume", "mic", "5%"}, &out), 0) << out;
  ASSERT_EQ(server.Pactl({"set-source-mute", "mic", "1"}, &out), 0) << out;
  // Loading the source made it the default: the monitor takes that place
  // again, as a desktop that records what it plays would have it.
  ASSERT_EQ(server.Pactl({"set-default-source", "out.monitor"}, &out), 0) << out;

  ControllerRig rig;
  const auto opened = OpenMixer(server.Address(), /*automatic=*/true);
  MixerController& mixer = *opened;
  ASSERT_EQ(mixer.Error(), QString());
  // The automatic settings chose the real microphone over the monitor,
  // unmuted it and raised it from 5 % to 50 %.
  EXPECT_TRUE(mixer.LastAutomaticSettings().sourceSwitched);
  EXPECT_EQ(mixer.LastAutomaticSettings().source, "mic");
  EXPECT_EQ(Percent(server, "source", "mic"), 50);

  MainWindowOptions options = PlainWindow(&mixer);
  options.sound = FileSound();
  MainWindow window(*rig.calls, nullptr, rig.settings, options);
  auto* master = Child<QSlider>(&window, "masterVolume");
  auto* microphone = Child<QSlider>(&window, "microphoneVolume");
  ASSERT_TRUE(master->isEnabled());
  EXPECT_EQ(microphone->value(), 128);

  // The user's move reaches the server: 192 of 255 is level 192 * 256.
  master->setValue(192);
  EXPECT_TRUE(WaitForGui([&] { return Percent(server, "sink", "out") == 75; }));
  // A change made elsewhere moves the slider (25 % is level 16384, value 64).
  ASSERT_EQ(server.Pactl({"set-source-volume", "mic", "25%"}, &out), 0) << out;
  EXPECT_TRUE(WaitForGui([&] { return microphone->value() == 64; }));

  // The audio test's sliders are the window's own.
  window.OpenAudioTest();
  auto* dialog = VisibleWindow<AudioTestDialog>("audioTestDialog");
  ASSERT_NE(dialog, nullptr);
  auto* testMaster = Child<QSlider>(dialog, "testMasterVolume");
  ASSERT_TRUE(testMaster->isEnabled());
  testMaster->setValue(64);
  EXPECT_EQ(master->value(), 64);
  EXPECT_TRUE(WaitForGui([&] { return Percent(server, "sink", "out") == 25; }));
  dialog->reject();
  ASSERT_TRUE(WaitForGui([&] { return rig.calls->State() == CallState::kListening; }));

  // A call starting with a quiet microphone (12, below 16) raises it.
  ASSERT_EQ(server.Pactl({"set-source-volume", "mic", "5%"}, &out), 0) << out;
  ASSERT_TRUE(WaitForGui([&] { return microphone->value() == 12; }));
  rig.StartCall(FakeConnection(1), "bob");
  EXPECT_TRUE(WaitForGui([&] { return Percent(server, "source", "mic") == 50; }));
  EXPECT_TRUE(WaitForGui([&] { return microphone->value() == 128; }));
}

TEST(VolumeSliders, WithoutASoundServerTheSlidersStayDisabled) {
  ControllerRig rig;
  const auto opened = OpenMixer("unix:" + rig.dir.File("nobody"), /*automatic=*/true);
  MixerController& mixer = *opened;
  EXPECT_NE(mixer.Error(), QString());
  MainWindow window(*rig.calls, nullptr, rig.settings, PlainWindow(&mixer));
  for (const char* name : {"masterVolume", "speakerVolume", "microphoneVolume"}) {
    EXPECT_FALSE(Child<QSlider>(&window, name)->isEnabled()) << name;
  }
  // Moving a disabled line does nothing, and a call start does not crash.
  mixer.SetSliderValue(MixerLine::kMaster, 10);
  mixer.CallStarted();
}

}  // namespace
}  // namespace dialvo::test
