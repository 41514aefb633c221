// Recording a call in the desktop program and playing it back: the Rec box's
// controller side, the save after the call, and the player.
#include <gmock/gmock.h>

#include <QSignalSpy>
#include <filesystem>
#include <fstream>

#include "app/PlayerController.h"
#include "audio/Recorder.h"
#include "audio/SoundBackend.h"
#include "audio/WavFile.h"
#include "settings/Settings.h"
#include "tests/app/AppHarness.h"

namespace dialvo::test {
namespace {

namespace fs = std::filesystem;

std::vector<int16_t> Tone(int16_t level) {
  std::vector<int16_t> block(1600);
  for (size_t i = 0; i < block.size(); ++i) block[i] = (i / 10) % 2 == 0 ? level : -level;
  return block;
}

TEST(Recording, ACallRecordedIsSavedAfterItEndsOrKeptWhenItCannotBe) {
  ControllerRig rig;
  QSignalSpy saves(rig.calls.get(), &CallController::recordingSaved);  // ok, path, why
  const auto path = [&](int i) { return fs::path(saves[i][1].toString().toStdString()); };
  const fs::path target = fs::path(rig.dir.Path()) / "recordings";
  ASSERT_TRUE(rig.settings->WriteString(keys::kRecordingsDirectory, target.string()));
  fs::create_directories(target);
  // Rec needs a call.
  rig.calls->SetRecording(true);
  EXPECT_FALSE(rig.calls->Recording());
  rig.StartCall(FakeConnection(1), "bob");
  ASSERT_TRUE(rig.calls->RecordingAllowed());
  rig.calls->SetRecording(true);
  EXPECT_TRUE(rig.calls->Recording());
  // The engine's voice threads hand their blocks to the sink: three each
  // way, paired into three records.
  for (int i = 0; i < 3; ++i) {
    rig.Engine().sink->AddAudio(Tone(1000).data(), 3200, false);
    rig.Engine().sink->AddAudio(Tone(3000).data(), 3200, true);
  }
  rig.Deliver(EV_CALL_ENDED);
  ASSERT_TRUE(WaitForGui([&] { return saves.count() == 1; }));
  ASSERT_TRUE(saves[0][0].toBool()) << saves[0][2].toString().toStdString();
  EXPECT_EQ(path(0).parent_path(), target);
  EXPECT_THAT(
      path(0).filename().string(),
      ::testing::MatchesRegex("recording_[A-Z][a-z][a-z]_[0-9]{2}_[0-9]{2}_[0-9.]{8}\\.dvrec"));
  EXPECT_EQ(fs::file_size(path(0)), 3u * 330);
  EXPECT_FALSE(rig.calls->Recording());  // off with the call

  // A recordings "directory" that is a file: the recording stays where it
  // was made and the user is told where.
  ASSERT_TRUE(WaitForGui([&] { return rig.factory->engines.size() == 2; }));
  std::ofstream(target.string() + "-file") << "x";
  ASSERT_TRUE(rig.settings->WriteString(keys::kRecordingsDirectory, target.string() + "-file"));
  rig.StartCall(FakeConnection(2), "carol");
  rig.calls->SetRecording(true);
  rig.Engine().sink->AddAudio(Tone(500).data(), 3200, false);
  rig.Deliver(EV_CALL_ENDED);
  ASSERT_TRUE(WaitForGui([&] { return saves.count() == 2; }));
  EXPECT_FALSE(saves[1][0].toBool());
  EXPECT_FALSE(saves[1][2].toString().isEmpty());
  ASSERT_FALSE(path(1).empty());
  EXPECT_TRUE(fs::exists(path(1)));
  EXPECT_EQ(fs::file_size(path(1)) % 330, 0u);
}

TEST(Recording, ThePlayerPlaysExportsAndStepsAsideForACall) {
  ScratchDir dir;
  const std::string file = dir.File("call.dvrec");
  {
    ConversationRecorder recorder(dir.Path() + "/partial");
    for (int i = 0; i < 3; ++i) recorder.AddAudio(Tone(2000).data(), 1600, false);
    std::string error;
    ASSERT_TRUE(recorder.Save(file, &error)) << error;
  }
  PlayerController player(FileSound());
  QSignalSpy messages(&player, &PlayerController::message);
  QSignalSpy progress(&player, &PlayerController::progress);

  // A file that is not whole records is refused; nothing can play.
  std::ofstream(dir.File("bad.dvrec"), std::ios::binary) << std::string(331, '\0');
  player.Load(QString::fromStdString(dir.File("bad.dvrec")));
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.last()[0].toString(), QStringLiteral("The file is corrupted."));
  EXPECT_FALSE(player.CanPlay());

  player.Load(QString::fromStdString(file));
  ASSERT_TRUE(player.CanPlay());
  player.Play();
  EXPECT_EQ(player.State(), PlayerState::kPlaying);
  EXPECT_TRUE(player.CanPause());
  // Three records play to the end, and the player is stopped and rewound.
  ASSERT_TRUE(WaitForGui([&] { return player.State() == PlayerState::kStopped; }, 5000));
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.last()[0].toInt(), 100);
  EXPECT_TRUE(player.CanPlay());

  QSignalSpy exported(&player, &PlayerController::exported);
  player.Export(QString::fromStdString(dir.File("call.wav")));
  ASSERT_TRUE(WaitForGui([&] { return exported.count() == 1; }));
  EXPECT_TRUE(exported[0][0].toBool());
  EXPECT_EQ(fs::file_size(dir.File("call.wav")), 44u + 3 * 1600 * 2);

  // A call closes the recording: nothing plays during it.
  player.SetInCall(true);
  EXPECT_FALSE(player.Loaded());
  EXPECT_FALSE(player.CanLoad());
  player.SetInCall(false);
  EXPECT_TRUE(player.CanLoad());
}

}  // namespace
}  // namespace dialvo::test
