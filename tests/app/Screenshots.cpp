// app_screenshots DIR: renders the main window in its states (idle,
// connecting, an incoming call, a three-party conference, logged in) and the
// network settings, a connectivity test run and the audio test, on a fake engine
// and writes one PNG per state into DIR. Run it on a real X server
// (scripts/screenshots starts Xvfb) so that it looks as it does for users.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <cstdio>

#include "app/MainWindow.h"
#include "app/MixerController.h"
#include "app/PresenceController.h"
#include "app/SettingsDialogs.h"
#include "controls/PaneStatusBar.h"
#include "tests/app/AppHarness.h"
#include "tests/cli/ServerProcess.h"
#include "tests/service/FakeService.h"
#include "tests/support/PulseServer.h"
#include "tests/support/WavMaker.h"

using namespace dialvo;
using namespace dialvo::test;

namespace {

// Everything visible on screen, cropped to the windows shown.
bool Shoot(const QString& path) {
  WaitForGui([] { return false; }, 300);  // let pop-ups and dialogs settle
  QRect area;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->isVisible()) area |= w->frameGeometry();
  }
  const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
  const QPixmap shot = screen.copy(area.adjusted(-8, -8, 8, 8).intersected(screen.rect()));
  if (!shot.save(path)) {
    std::fprintf(stderr, "app_screenshots: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

// The notes the last scene left on screen.
void CloseNotes() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->objectName() == QLatin1String("notifyPopup")) w->close();
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: app_screenshots DIR\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  if (!out.exists() && !QDir().mkpath(out.path())) {
    std::fprintf(stderr, "app_screenshots: cannot make %s\n", argv[1]);
    return 1;
  }
  bool ok = true;
  {
    ControllerRig rig;
    MainWindow window(*rig.calls, nullptr, rig.settings, {});
    window.move(40, 40);
    window.show();
    window.StatusPanes()->SetPaneText(1, QStringLiteral("Ready"));
    ok &= Shoot(out.filePath(QStringLiteral("idle.png")));

    rig.factory->holdConnect = true;
    Child<QComboBox>(&window, "address")->setCurrentText(QStringLiteral("192.168.1.20:1721"));
    Child<QPushButton>(&window, "talkButton")->click();
    rig.Connecting(2);
    rig.Deliver(EV_RINGING);
    ok &= Shoot(out.filePath(QStringLiteral("connecting.png")));
    rig.calls->CancelConnect();
    WaitForGui([&] { return rig.calls->State() == CallState::kListening; });
    rig.factory->holdConnect = false;

    rig.Caller("bob");
    ok &= Shoot(out.filePath(QStringLiteral("incoming.png")));
    rig.calls->AnswerIncoming(false);

    rig.StartCall(FakeConnection(1), "bob");
    rig.Deliver(EV_PEER_JOINED, NewPeerInfo("carol", FakeConnection(2), 5));
    rig.Deliver(EV_ROUND_TRIP, new RoundTripRecord{FakeConnection(1), 1, 84, 1});
    rig.Deliver(EV_ROUND_TRIP, new RoundTripRecord{FakeConnection(2), 2, 146, 1});
    emit rig.calls->captureLevel(14000);
    emit rig.calls->playLevel(6000);
    ok &= Shoot(out.filePath(QStringLiteral("conference.png")));
  }
  {
    // Logged in, with buddies online of each kind.
    CloseNotes();
    ControllerRig rig;
    FakeService service;
    service.AddUser("alice", "pw", {"bob", "carol", "dave"});
    service.SetOnline("bob", "192.0.2.10", 1720, 0);
    service.SetOnline("carol", "LAN", 1720, 0);
    service.SetOnline("dave", "192.0.2.12", 1720, 3);
    PresenceController::Options options;
    options.config.client.directoryHost = service.DirectoryHost();
    options.config.client.cacheDirectory = rig.dir.Path();
    options.config.hostAddresses = [] { return std::vector<std::string>{"192.0.2.2"}; };
    options.config.loginThreadDelayMs = 0;
    PresenceController presence(options, rig.settings, *rig.calls, rig.sounds);
    MainWindow window(*rig.calls, &presence, rig.settings, {});
    window.move(40, 40);
    window.show();
    presence.Start(1720);
    presence.Login(QStringLiteral("alice"), QStringLiteral("pw"), false);
    WaitForGui([&] { return presence.Online().Root()->rowCount() == 3; }, 5000);
    ok &= Shoot(out.filePath(QStringLiteral("online.png")));
    ShutDown(presence);
  }
  {
    // Network Settings behind a firewall, then a test run that reached the
    // PC through a real dialvo-server.
    CloseNotes();
    ServerProcess server({}, 45);
    ControllerRig rig;
    SaveNetworkSettings(
        *rig.settings,
        {.useAlternateListeningPort = 1, .listeningPort = UnusedUdpPort(), .ipType = 1});
    MainWindowOptions options;
    options.connectivity.client.directoryHost = server.HostPort();
    options.connectivity.client.cacheDirectory = rig.dir.Path();
    MainWindow window(*rig.calls, nullptr, rig.settings, options);
    window.move(40, 40);
    window.show();
    window.OpenNetworkSettings();
    if (QWidget* dialog = VisibleWindow("networkSettingsDialog")) dialog->move(80, 60);
    ok &= Shoot(out.filePath(QStringLiteral("network-settings.png")));
    if (QWidget* dialog = VisibleWindow("networkSettingsDialog")) dialog->close();
    window.OpenConnectivityTest();
    auto* test = VisibleWindow<ConnectivityTestDialog>("connectivityTestDialog");
    if (test != nullptr) {
      test->move(80, 60);
      window.Connectivity().Start();
      WaitForGui([] { return VisibleWindow("testResultBox") != nullptr; }, 10000);
      if (QWidget* box = VisibleWindow("testResultBox")) box->move(260, 420);
    }
    ok &= Shoot(out.filePath(QStringLiteral("connectivity-test.png")));
    for (const char* name : {"testResultBox", "connectivityTestDialog"}) {
      if (QWidget* w = VisibleWindow(name)) w->close();
    }
    // Program Settings and the session's statistics.
    window.OpenProgramSettings();
    if (QWidget* dialog = VisibleWindow("programSettingsDialog")) dialog->move(60, 60);
    window.ShowStatistics();
    if (QWidget* stats = VisibleWindow("statisticsDialog")) stats->move(380, 420);
    ok &= Shoot(out.filePath(QStringLiteral("program-settings.png")));
  }
  {
    // The audio test hearing a tone, its sliders on a private sound server.
    PulseServer pulse;
    std::string error;
    if (!pulse.Start(&error)) {
      std::fprintf(stderr, "app_screenshots: no sound server: %s\n", error.c_str());
      return 1;
    }
    ControllerRig rig;
    const auto mixer = OpenMixer(pulse.Address(), false);
    MainWindowOptions options;
    options.mixer = mixer.get();
    options.sound = FileSound(PartyTone(rig.dir.File("tone.wav"), 330, 0.4));
    MainWindow window(*rig.calls, nullptr, rig.settings, options);
    window.move(40, 40);
    window.show();
    window.OpenAudioTest();
    if (auto* test = VisibleWindow<AudioTestDialog>("audioTestDialog")) {
      test->move(120, 200);
      WaitForGui([test] { return test->Waveform()->BlockCount() > 2; }, 3000);
    }
    ok &= Shoot(out.filePath(QStringLiteral("audio-test.png")));
    if (QWidget* test = VisibleWindow("audioTestDialog")) test->close();
    WaitForGui([&] { return rig.calls->State() == CallState::kListening; }, 3000);
  }
  return ok ? 0 : 1;
}
