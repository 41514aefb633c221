// Two desktop programs (in this process, on the offscreen platform) and a
// real dialvo-server: they log in, see each other, call by buddy name and
// report the call; the one that exits leaves the other's list.
#include <gmock/gmock.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeView>

#include "app/CallDialogs.h"
#include "app/MainWindow.h"
#include "app/PresenceController.h"
#include "audio/SoundBackend.h"
#include "service/BuddyList.h"
#include "settings/Settings.h"
#include "tests/app/AppHarness.h"
#include "tests/cli/ServerProcess.h"

namespace dialvo::test {
namespace {

struct Desktop {
  Desktop(const ServerProcess& server, const std::string& name) : user(name) {
    settings = std::make_shared<SettingsStore>(dir.Path());
    // On one machine: the loopback address, configured.
    SaveNetworkSettings(*settings, {.configuredIp = "127.0.0.1", .ipType = 2});
    EngineConfig engine;
    engine.sound = FileSound();
    CallController::Options callOptions;
    callOptions.listeningPort = 0;
    calls = std::make_unique<CallController>(callOptions, std::make_shared<NetCoreFactory>(engine),
                                             std::make_shared<FakeSounds>(), settings);
    PresenceController::Options options;
    options.config.client.directoryHost = server.HostPort();
    options.config.client.cacheDirectory = dir.Path();
    options.config.keepAliveIntervalMs = 300;
    options.uploadPeriodMs = 100;
    presence = std::make_unique<PresenceController>(options, settings, *calls,
                                                    std::make_shared<FakeSounds>());
    window = std::make_unique<MainWindow>(*calls, presence.get(), settings, MainWindowOptions{});
    window->show();
    calls->Start();
    presence->Start(calls->ListeningPort());
  }
  ~Desktop() { Exit(); }

  void Exit() {
    if (window == nullptr) return;
    bool done = false;
    QObject::connect(window.get(), &MainWindow::exitFinished, [&done] { done = true; });
    window->Exit();
    WaitForGui([&done] { return done; }, 8000);
    window.reset();
    presence.reset();
    calls.reset();
  }
  void AddBuddy(const std::string& name) {
    presence->AddBuddy();
    const int row = presence->Buddies().Root()->rowCount() - 1;
    presence->EditBuddy(row, QString::fromLatin1(kNewBuddyPlaceholder),
                        QString::fromStdString(name));
  }
  bool Sees(const std::string& name) const {
    const QStandardItem* root = presence->Online().Root();
    for (int i = 0; i < root->rowCount(); ++i) {
      if (root->child(i)->data(kBuddyNameRole).toString().toStdString() == name) return true;
    }
    return false;
  }
  template <typename T>
  T* Dialog(const char* name) const {
    return VisibleWindow<T>(name, window.get());
  }

  const std::string user;
  ScratchDir dir;
  std::shared_ptr<SettingsStore> settings;
  std::unique_ptr<CallController> calls;
  std::unique_ptr<PresenceController> presence;
  std::unique_ptr<MainWindow> window;
};

// The session number the service logged for each of user's reports.
std::vector<std::string> Sessions(const ServerProcess& server, const std::string& user) {
  std::vector<std::string> sessions;
  for (const std::string& line : server.LogLines("iamtalking")) {
    if (line.find("user=" + user + " ") == std::string::npos) continue;
    const size_t at = line.find(" session ");
    if (at != std::string::npos)
      sessions.push_back(line.substr(at + 9, line.find(' ', at + 9) - at - 9));
  }
  return sessions;
}

TEST(DesktopPresence, TwoProgramsSeeEachOtherCallByNameAndReportTheCall) {
  ServerProcess server({{"alice", "pw-alice"}, {"bob", "pw-bob"}}, 1);
  ASSERT_FALSE(server.HostPort().empty());
  Desktop alice(server, "alice");
  Desktop bob(server, "bob");
  alice.presence->Login(QStringLiteral("alice"), QStringLiteral("pw-alice"), false);
  bob.presence->Login(QStringLiteral("bob"), QStringLiteral("pw-bob"), false);
  ASSERT_TRUE(WaitForGui([&] { return alice.presence->LoggedIn() && bob.presence->LoggedIn(); }));
  alice.AddBuddy("bob");
  bob.AddBuddy("alice");
  ASSERT_TRUE(WaitForGui([&] { return alice.Sees("bob") && bob.Sees("alice"); }, 5000));
  EXPECT_EQ(alice.presence->OnlineTitle(), QStringLiteral("Buddies Online (1/1)"));

  // alice selects bob on her online page and presses Talk; bob accepts.
  auto* tree = Child<QTreeView>(alice.window.get(), "onlineTree");
  ASSERT_NE(tree, nullptr);
  const QModelIndex root = tree->model()->index(0, 0);
  tree->setCurrentIndex(tree->model()->index(0, 0, root));
  QTest::mouseClick(Child<QPushButton>(alice.window.get(), "talkButton"), Qt::LeftButton);
  ASSERT_TRUE(
      WaitForGui([&] { return bob.Dialog<QWidget>("incomingCallDialog") != nullptr; }, 5000));
  QTest::mouseClick(Child<QPushButton>(bob.Dialog<QWidget>("incomingCallDialog"), "acceptButton"),
                    Qt::LeftButton);
  ASSERT_TRUE(WaitForGui(
      [&] {
        return alice.calls->State() == CallState::kInCall &&
               bob.calls->State() == CallState::kInCall;
      },
      5000));
  EXPECT_EQ(alice.calls->Conference().Rows().at(0).userName, QStringLiteral("bob"));
  EXPECT_EQ(bob.calls->Conference().Rows().at(0).userName, QStringLiteral("alice"));

  // The join is reported; alice hangs up, and the leave is reported with
  // the session number the service gave the first report.
  ASSERT_TRUE(WaitForGui([&] { return Sessions(server, "alice").size() == 1; }, 5000));
  QTest::mouseClick(Child<QPushButton>(alice.window.get(), "hangUpButton"), Qt::LeftButton);
  ASSERT_TRUE(AnswerBox("hangUpQuestion", QMessageBox::Yes));
  ASSERT_TRUE(WaitForGui([&] { return Sessions(server, "alice").size() == 2; }, 5000));
  const std::vector<std::string> sessions = Sessions(server, "alice");
  EXPECT_EQ(sessions[0], sessions[1]);
  EXPECT_NE(sessions[0], "0");
  ASSERT_TRUE(WaitForGui([&] { return bob.calls->State() == CallState::kListening; }, 5000));

  // bob exits: he logs off, and alice sees him go within a round.
  bob.Exit();
  EXPECT_TRUE(server.WaitLog("logmeoff", 3000));
  ASSERT_TRUE(WaitForGui([&] { return !alice.Sees("bob"); }, 5000));
}

}  // namespace
}  // namespace dialvo::test
