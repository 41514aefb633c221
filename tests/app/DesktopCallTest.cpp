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

// The loudest block the headless side of the call heard.
int MaxPeak(CliProcess& cli) {
  int peak = 0;
  for (const std::string& line : cli.Lines("EV_PLAYOUT_BUFFER")) {
    peak = std::max(peak, std::atoi(CliProcess::Value(line, "peak").c_str()));
  }
  return peak;
}

TEST(DesktopCall, CallsAndIsCalledByTheHeadlessClient) {
  ScratchDir dir;
  const std::string theirs = PartyTone(dir.File("theirs.wav"), 660, 0.5);
  EngineConfig engine;
  engine.sound = FileSound(PartyTone(dir.File("mine.wav"), 440, 0.5));
  ASSERT_NE(engine.sound, nullptr);

  auto settings = std::make_shared<SettingsStore>(dir.Path());
  CallController::Options options;
  options.listeningPort = 0;
  CallController calls(options, std::make_shared<NetCoreFactory>(engine),
                       std::make_shared<FakeSounds>(), settings);
  MainWindow window(calls, nullptr, settings, {});
  window.show();
  int heard = 0;  // the loudest block the desktop played, from its meters
  QObject::connect(&calls, &CallController::playLevel,
                   [&heard](int peak) { heard = std::max(heard, peak); });
  calls.Start();
  const uint16_t port = calls.ListeningPort();
  ASSERT_NE(port, 0);
  const uint64_t firstEngine = calls.EngineGeneration();

  // bob calls; the call is accepted in the incoming-call dialog.
  {
    CliProcess bob({"--port", "0", "--user", "bob", "--play-file", theirs, "--loop", "--call",
                    "127.0.0.1:" + std::to_string(port), "--exit-on-call-end"});
    ASSERT_TRUE(WaitForGui([] { return VisibleWindow("incomingCallDialog") != nullptr; }, 5000));
    QTest::mouseClick(Child<QPushButton>(VisibleWindow("incomingCallDialog"), "acceptButton"),
                      Qt::LeftButton);
    ASSERT_TRUE(WaitForGui([&] { return calls.State() == CallState::kInCall; }, 5000));
    EXPECT_EQ(calls.Conference().Rows().at(0).userName, QStringLiteral("bob"));
    ASSERT_TRUE(WaitForGui([&] { return heard > 3000 && MaxPeak(bob) > 3000; }, 5000))
        << "desktop heard " << heard << ", bob heard " << MaxPeak(bob);
    EXPECT_GT(calls.BytesReceived(), 0u);
    EXPECT_GT(calls.BytesSent(), 0u);

    QTest::mouseClick(Child<QPushButton>(&window, "hangUpButton"), Qt::LeftButton);
    ASSERT_TRUE(AnswerBox("hangUpQuestion", QMessageBox::Yes));
    ASSERT_TRUE(WaitForGui([&] { return calls.State() == CallState::kListening; }, 5000));
    EXPECT_GT(calls.EngineGeneration(), firstEngine);
    EXPECT_TRUE(bob.WaitWord("EV_PEER_LEFT").has_value());
    EXPECT_EQ(bob.WaitExit(5000), 0);
  }

  // The desktop calls carol by address; carol hangs up.
  heard = 0;
  const uint64_t secondEngine = calls.EngineGeneration();
  CliProcess carol({"--port", "0", "--user", "carol", "--play-file", theirs, "--loop",
                    "--hangup-after", "2", "--exit-on-call-end"});
  const auto listening = carol.WaitWord("LISTENING");
  ASSERT_TRUE(listening.has_value());
  auto* address = Child<QComboBox>(&window, "address");
  address->setCurrentText(QStringLiteral("127.0.0.1:") +
                          QString::fromStdString(CliProcess::Value(*listening, "port")));
  QTest::mouseClick(Child<QPushButton>(&window, "talkButton"), Qt::LeftButton);
  ASSERT_TRUE(WaitForGui([&] { return calls.State() == CallState::kInCall; }, 5000));
  ASSERT_TRUE(WaitForGui([&] { return heard > 3000 && MaxPeak(carol) > 3000; }, 5000))
      << "desktop heard " << heard << ", carol heard " << MaxPeak(carol);
  ASSERT_TRUE(WaitForGui([&] { return calls.State() == CallState::kListening; }, 6000));
  EXPECT_GT(calls.EngineGeneration(), secondEngine);
  EXPECT_EQ(calls.Conference().rowCount(), 0);
  EXPECT_EQ(carol.WaitExit(5000), 0);

  ASSERT_TRUE(ShutDown(calls));
}

}  // namespace
}  // namespace dialvo::test
