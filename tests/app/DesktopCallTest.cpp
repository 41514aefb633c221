// The desktop program's controller and window with a real engine, calling
// and called by a dialvo-cli process on loopback, voice flowing both ways.
#include <gmock/gmock.h>

#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>

#include "app/CallDialogs.h"
#include "app/MainWindow.h"
#include "audio/SoundBackend.h"
#include "tests/app/AppHarness.h"
#include "tests/cli/CliProcess.h"
#include "tests/support/WavMaker.h"

namespace dialvo::test {
namespace {

// The loudest block one side of the call heard, from the window's meters.
struct Levels {
  int played = 0;
};

int MaxPeak(CliProcess& cli) {
  int peak = 0;
  for (const std::string& line : cli.Lines("EV_PLAYOUT_BUFFER")) {
    peak = std::max(peak, std::atoi(CliProcess::Value(line, "peak").c_str()));
  }
  return peak;
}

TEST(DesktopCall, CallsAndIsCalledByTheHeadlessClient) {
  ScratchDir dir;
  std::string error;
  ToneSpec mine;
  mine.hz = 440;
  mine.seconds = 2;
  ASSERT_TRUE(MakeToneWav(dir.File("mine.wav"), mine, &error)) << error;
  ToneSpec theirs = mine;
  theirs.hz = 660;
  ASSERT_TRUE(MakeToneWav(dir.File("theirs.wav"), theirs, &error)) << error;

  SoundBackendOptions soundOptions;
  soundOptions.kind = SoundBackendKind::kFile;
  soundOptions.playFile = dir.File("mine.wav");
  soundOptions.loop = true;
  EngineConfig engine;
  engine.sound = CreateSoundBackend(soundOptions, &error);
  ASSERT_NE(engine.sound, nullptr) << error;

  auto settings = std::make_shared<SettingsStore>(dir.Path());
  CallController::Options options;
  options.listeningPort = 0;
  CallController calls(options, std::make_shared<NetCoreFactory>(engine),
                       std::make_shared<FakeSounds>(), settings);
  MainWindow window(calls, nullptr, settings, {});
  window.show();
  Levels heard;
  QObject::connect(&calls, &CallController::playLevel,
                   [&heard](int peak) { heard.played = std::max(heard.played, peak); });
  calls.Start();
  const uint16_t port = calls.ListeningPort();
  ASSERT_NE(port, 0);
  const uint64_t firstEngine = calls.EngineGeneration();

  // bob calls; the call is accepted in the incoming-call dialog.
  {
    CliProcess bob({"--port", "0", "--user", "bob", "--play-file", dir.File("theirs.wav"), "--loop",
                    "--call", "127.0.0.1:" + std::to_string(port), "--exit-on-call-end"});
    ASSERT_TRUE(WaitForGui([] { return VisibleWindow("incomingCallDialog") != nullptr; }, 5000));
    QTest::mouseClick(VisibleWindow("incomingCallDialog")
                          ->findChild<QPushButton*>(QStringLiteral("acceptButton")),
                      Qt::LeftButton);
    ASSERT_TRUE(WaitForGui([&] { return calls.State() == CallState::kInCall; }, 5000));
    EXPECT_EQ(calls.Conference().Rows().at(0).userName, QStringLiteral("bob"));
    ASSERT_TRUE(WaitForGui([&] { return heard.played > 3000 && MaxPeak(bob) > 3000; }, 5000))
        << "desktop heard " << heard.played << ", bob heard " << MaxPeak(bob);
    EXPECT_GT(calls.BytesReceived(), 0u);
    EXPECT_GT(calls.BytesSent(), 0u);

    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("hangUpButton")),
                      Qt::LeftButton);
    auto* question = VisibleWindow<QMessageBox>("hangUpQuestion");
    ASSERT_NE(question, nullptr);
    QTest::mouseClick(question->button(QMessageBox::Yes), Qt::LeftButton);
    ASSERT_TRUE(WaitForGui([&] { return calls.State() == CallState::kListening; }, 5000));
    EXPECT_GT(calls.EngineGeneration(), firstEngine);
    EXPECT_TRUE(bob.WaitWord("EV_PEER_LEFT").has_value());
    EXPECT_EQ(bob.WaitExit(5000), 0);
  }

  // The desktop calls carol by address; carol hangs up.
  heard.played = 0;
  const uint64_t secondEngine = calls.EngineGeneration();
  CliProcess carol({"--port", "0", "--user", "carol", "--play-file", dir.File("theirs.wav"),
                    "--loop", "--hangup-after", "2", "--exit-on-call-end"});
  const auto listening = carol.WaitWord("LISTENING");
  ASSERT_TRUE(listening.has_value());
  auto* address = window.findChild<QComboBox*>(QStringLiteral("address"));
  address->setCurrentText(QStringLiteral("127.0.0.1:") +
                          QString::fromStdString(CliProcess::Value(*listening, "port")));
  QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("talkButton")), Qt::LeftButton);
  ASSERT_TRUE(WaitForGui([&] { return calls.State() == CallState::kInCall; }, 5000));
  ASSERT_TRUE(WaitForGui([&] { return heard.played > 3000 && MaxPeak(carol) > 3000; }, 5000))
      << "desktop heard " << heard.played << ", carol heard " << MaxPeak(carol);
  ASSERT_TRUE(WaitForGui([&] { return calls.State() == CallState::kListening; }, 6000));
  EXPECT_GT(calls.EngineGeneration(), secondEngine);
  EXPECT_EQ(calls.Conference().rowCount(), 0);
  EXPECT_EQ(carol.WaitExit(5000), 0);

  bool finished = false;
  QObject::connect(&calls, &CallController::shutdownFinished, [&finished] { finished = true; });
  calls.Shutdown();
  ASSERT_TRUE(WaitForGui([&finished] { return finished; }));
}

}  // namespace
}  // namespace dialvo::test
