// The network and program settings: their checks without widgets, the
// dialogs driven offscreen, and the main window moving the engine to a new
// port and running the connectivity test against a real dialvo-server.
#include "app/SettingsDialogs.h"

#include <gmock/gmock.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <array>
#include <filesystem>
#include <fstream>

#include "app/ConnectivityController.h"
#include "app/MainWindow.h"
#include "app/SettingsForms.h"
#include "settings/Autostart.h"
#include "tests/app/AppHarness.h"
#include "tests/cli/ServerProcess.h"

namespace dialvo::test {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

constexpr uint64_t kMB = uint64_t{1024} * 1024;

TEST(NetworkSettingsForm, OkRefusesBadFieldsAndPlansWhatFollows) {
  const std::pair<NetworkSettingsValues, const char*> refused[] = {
      {{.useProxy = true, .proxyName = "  ", .proxyPort = "80"}, texts::kProxyNameMissing},
      {{.useProxy = true, .proxyName = "proxy", .proxyPort = "0"}, texts::kProxyPortMissing},
      {{.useProxy = true, .proxyName = "proxy", .proxyPort = "80a"}, texts::kNotAnInteger},
      {{.useProxy = true, .proxyName = "proxy", .proxyPort = "65536"}, texts::kPortOutOfRange},
      {{.useAlternatePort = true, .listeningPort = "0"}, texts::kPortOutOfRange},
      // Beyond 16 bits.
      {{.useAlternatePort = true, .listeningPort = "4294967297"}, texts::kNotAnInteger},
      {{.useAlternatePort = true, .listeningPort = "-5"}, texts::kNotAnInteger},
      {{.choice = ConnectionChoice::kFirewall,
        .autoDetectFirewall = false,
        .firewallAddress = " \t"},
       texts::kFirewallAddressMissing},
      {{.choice = ConnectionChoice::kPrivate, .lanCalls = true, .lanAddress = ""},
       texts::kLanAddressMissing},
  };
  for (size_t i = 0; i < std::size(refused); ++i) {
    EXPECT_EQ(PlanNetworkOk(refused[i].first, {}).error, refused[i].second) << "case " << i;
  }

  struct Accepted {
    NetworkSettingsValues values;
    NetworkSettings stored, expected;
    // Ask about a shared address, show the firewall information, the private note.
    std::array<bool, 3> notes;
  };
  const Accepted accepted[] = {
      // Proxy and detected firewall: ask about the shared address, then the
      // port-forward note with the alternate port; names and addresses trimmed.
      {{.useProxy = true,
        .proxyName = "  proxy.lan ",
        .proxyPort = "3128",
        .useAlternatePort = true,
        .listeningPort = " 5060 ",
        .choice = ConnectionChoice::kFirewall,
        .firewallAddress = " 203.0.113.9 "},
       {},
       {.httpProxyName = "proxy.lan",
        .useHttpProxy = 1,
        .configuredIp = "203.0.113.9",
        .useAlternateListeningPort = 1,
        .listeningPort = 5060,
        .ipType = 1,
        .httpProxyPort = 3128},
       {true, true, false}},
      // Private network without LAN calls is type 4; an unticked port box
      // means the default port; a disabled proxy port that is no number
      // (empty) keeps the stored one, one that is a number is taken.
      {{.listeningPort = "garbage", .choice = ConnectionChoice::kPrivate, .lanCalls = false},
       {.httpProxyPort = 8080},
       {.ipType = 4, .httpProxyPort = 8080},
       {false, false, false}},
      {{.proxyPort = "81", .choice = ConnectionChoice::kPrivate, .lanAddress = "desk.lan"},
       {.httpProxyPort = 8080},
       {.configuredIp = "desk.lan", .ipType = 3, .httpProxyPort = 81},
       {false, false, true}},
  };
  for (size_t i = 0; i < std::size(accepted); ++i) {
    const Accepted& a = accepted[i];
    const NetworkOkPlan plan = PlanNetworkOk(a.values, a.stored);
    EXPECT_EQ(plan.error, "") << "case " << i;
    EXPECT_EQ(plan.settings, a.expected) << "case " << i;
    EXPECT_EQ((std::array{plan.askSameExternalAddress, plan.showFirewallInformation,
                          plan.showPrivateNetworkNote}),
              a.notes)
        << "case " << i;
  }
  EXPECT_THAT(FirewallInformationText(5060), HasSubstr("UDP port-5060 to the internal"));

  // The values shown for each stored type come back unchanged through OK.
  for (uint32_t type = 0; type <= 4; ++type) {
    const NetworkSettings s{.configuredIp = type == 0 ? "" : "host.example",
                            .useAlternateListeningPort = 1,
                            .listeningPort = 40000,
                            .ipType = type};
    EXPECT_EQ(PlanNetworkOk(NetworkValuesFrom(s), s).settings, s) << "type " << type;
  }
}

struct ProgramRig {
  ScratchDir dir;
  std::shared_ptr<SettingsStore> store = std::make_shared<SettingsStore>(dir.File("conf"));
  ProgramSettingsEnv env;
  std::vector<std::filesystem::path> asked;
  std::optional<uint64_t> free = 200 * kMB;

  ProgramRig() {
    env.autostartDirectory = dir.File("autostart");
    env.program = "/opt/Orvanta Dialvo/dialvo";
    env.space = [this](const std::filesystem::path& p) {
      asked.push_back(p);
      return free;
    };
  }
  std::string Check(const std::string& ring, const std::string& directory) {
    return CheckProgramSettings({.ringTime = ring, .recordingsDirectory = directory}, env.space);
  }
};

TEST(ProgramSettingsForm, ChecksRingTimeDirectoryAndFreeSpace) {
  ProgramRig rig;
  const std::string folder = rig.dir.File("rec");
  for (const char* ring : {"0", "31", "", "ten", "-3", "99999999999"}) {
    EXPECT_EQ(rig.Check(ring, folder), texts::kRingTimeRange) << ring;
  }
  EXPECT_EQ(rig.Check("3", folder), "");
  EXPECT_EQ(rig.Check("10", " D "), texts::kDirectoryInvalid);
  EXPECT_EQ(rig.Check("10", ""), texts::kDirectoryInvalid);

  const std::pair<std::optional<uint64_t>, const char*> spaces[] = {
      {kMinimumRecordingSpace, ""},  {kMinimumRecordingSpace - 1, texts::kFreeSpaceLow},
      {0, texts::kFreeSpaceLow},     {4608 * kMB, ""},  // 4.5 GB: no 32-bit wrap
      {(uint64_t{1} << 32) + 1, ""}, {std::nullopt, texts::kFreeSpaceUnknown},
  };
  for (const auto& [free, expected] : spaces) {
    rig.free = free;
    rig.asked.clear();
    EXPECT_EQ(rig.Check("10", folder), expected) << free.value_or(0);
  }
  // A folder still to be made is judged by the nearest one that exists.
  EXPECT_EQ(rig.asked.back(), std::filesystem::path(rig.dir.Path()));
  EXPECT_EQ(NearestExistingFolder(rig.dir.File("a/b/../c")), std::filesystem::path(rig.dir.Path()));
  // The real probe answers for a real folder.
  EXPECT_GT(AvailableSpace(rig.dir.Path()).value_or(0), 0u);
  EXPECT_FALSE(AvailableSpace(rig.dir.File("missing")).has_value());
}

TEST(ProgramSettingsForm, SaveWritesEverythingOrNothing) {
  ProgramRig rig;
  ProgramSettingsValues v{.autoStart = true,
                          .ringTime = "3",
                          .autoMixer = false,
                          .recordingsDirectory = "  " + rig.dir.File("Rec/2003") + " "};
  v.popupBuddyOnline = v.popupJoinLeave = false;

  // Refused: nothing written, no folder, no autostart entry.
  rig.free = kMinimumRecordingSpace - 1;
  EXPECT_EQ(SaveProgramSettings(*rig.store, v, rig.env), texts::kFreeSpaceLow);
  EXPECT_FALSE(std::filesystem::exists(rig.dir.File("Rec")));
  EXPECT_FALSE(std::filesystem::exists(rig.store->FilePath()));
  EXPECT_FALSE(IsAutoStartOn(rig.env.autostartDirectory));

  rig.free = 200 * kMB;
  ASSERT_EQ(SaveProgramSettings(*rig.store, v, rig.env), "");
  EXPECT_TRUE(std::filesystem::is_directory(rig.dir.File("Rec/2003")));
  EXPECT_EQ(rig.store->ReadString(keys::kRecordingsDirectory), rig.dir.File("Rec/2003"));
  EXPECT_EQ(ReadDword(*rig.store, keys::kAutoMMSettings), 0u);
  EXPECT_EQ(ReadDword(*rig.store, keys::kPopupBuddyOnline), 0u);
  EXPECT_EQ(ReadDword(*rig.store, keys::kPopupNetworkCongestion), 1u);
  EXPECT_EQ(ReadDword(*rig.store, keys::kPopupBuddyJoinLeave), 0u);
  EXPECT_THAT(ReadFile(rig.env.autostartDirectory / kAutostartFileName),
              HasSubstr("\nExec=\"/opt/Orvanta Dialvo/dialvo\" DontShow\n"));

  // 3 s was taken; the program rings 5 s, and the dialog shows and keeps 5.
  EXPECT_EQ(ReadRingTime(*rig.store), 5u);
  ProgramSettingsValues shown = LoadProgramSettings(*rig.store, rig.env);
  EXPECT_EQ(shown.ringTime, "5");
  EXPECT_TRUE(shown.autoStart);
  EXPECT_FALSE(shown.popupBuddyOnline);
  EXPECT_EQ(rig.store->ReadNumber(SettingsStore::kMainGroup, keys::kRingTime), 5u);
  // Long rings are held at 25 s where they are read.
  rig.store->WriteDword(keys::kRingTime, 30);
  EXPECT_EQ(ReadRingTime(*rig.store), 25u);

  // Unticking removes the entry; a folder that cannot be made is reported.
  shown.autoStart = false;
  ASSERT_EQ(SaveProgramSettings(*rig.store, shown, rig.env), "");
  EXPECT_FALSE(IsAutoStartOn(rig.env.autostartDirectory));
  std::ofstream(rig.dir.File("file")) << "x";
  shown.recordingsDirectory = rig.dir.File("file/sub");
  EXPECT_THAT(SaveProgramSettings(*rig.store, shown, rig.env),
              HasSubstr("The recordings directory could not be made"));
  EXPECT_EQ(rig.store->ReadString(keys::kRecordingsDirectory), rig.dir.File("Rec/2003"));
}

// A dialog made, shown and deleted on close, as the window makes them.
template <typename T, typename... Args>
T* ShowDialog(Args&&... args) {
  auto* dialog = new T(std::forward<Args>(args)...);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->show();
  return dialog;
}

TEST(SettingsDialogs, NetworkDialogWalksItsBoxesBeforeSavingAndCancelKeepsAll) {
  ScratchDir dir;
  auto store = std::make_shared<SettingsStore>(dir.Path());
  const NetworkSettings stored{.httpProxyPort = 8080};
  SaveNetworkSettings(*store, stored);

  const QStringList desk{QStringLiteral("desk")};
  auto* dialog = ShowDialog<NetworkSettingsDialog>(store, desk);
  EXPECT_TRUE(Child<QRadioButton>(dialog, "directChoice")->isChecked());
  EXPECT_TRUE(Child<QLineEdit>(dialog, "listeningPort")->isReadOnly());
  EXPECT_FALSE(Child<QLineEdit>(dialog, "proxyName")->isEnabled());
  Child<QRadioButton>(dialog, "firewallChoice")->click();
  Child<QCheckBox>(dialog, "autoDetectFirewall")->setChecked(false);
  EXPECT_TRUE(Child<QLineEdit>(dialog, "firewallAddress")->isEnabled());
  Child<QCheckBox>(dialog, "alternatePort")->setChecked(true);
  Child<QLineEdit>(dialog, "listeningPort")->setText(QStringLiteral("5060"));

  // An empty static address is refused and nothing is saved.
  dialog->Ok();
  ASSERT_TRUE(AnswerBox("refusalBox", QMessageBox::Ok));
  EXPECT_EQ(LoadNetworkSettings(*store), stored);
  EXPECT_TRUE(dialog->isVisible());

  Child<QLineEdit>(dialog, "firewallAddress")->setText(QStringLiteral(" fw.example "));
  QSignalSpy accepted(dialog, &QDialog::accepted);
  Child<QPushButton>(dialog, "applyAndTestFirewall")->click();
  ASSERT_TRUE(WaitForGui([] { return ShownBox("firewallInformationBox") != nullptr; }));
  EXPECT_THAT(ShownBox("firewallInformationBox")->text().toStdString(), HasSubstr("port-5060"));
  EXPECT_EQ(LoadNetworkSettings(*store), stored);  // not before the last box
  ASSERT_TRUE(AnswerBox("firewallInformationBox", QMessageBox::Ok));
  ASSERT_TRUE(WaitForGui([&] { return accepted.count() == 1; }));
  EXPECT_TRUE(dialog->TestRequested());
  NetworkSettings expected = stored;
  expected.ipType = 2;
  expected.configuredIp = "fw.example";
  expected.useAlternateListeningPort = 1;
  expected.listeningPort = 5060;
  EXPECT_EQ(LoadNetworkSettings(*store), expected);
  EXPECT_EQ(dialog->Saved(), expected);
  EXPECT_EQ(dialog->Before(), stored);

  // Cancel, by keyboard alone: whatever was changed stays unsaved.
  auto* again = ShowDialog<NetworkSettingsDialog>(store, desk);
  QApplication::setActiveWindow(again);  // shortcuts go to the active window
  ASSERT_TRUE(QTest::qWaitForWindowActive(again));
  EXPECT_TRUE(Child<QRadioButton>(again, "firewallChoice")->isChecked());
  EXPECT_EQ(Child<QLineEdit>(again, "listeningPort")->text(), QStringLiteral("5060"));
  QTest::keyClick(again->windowHandle(), Qt::Key_N,
                  Qt::AltModifier);  // "does &not allow incoming calls"
  // A mnemonic clicks as a mouse would: once the button's press is shown.
  EXPECT_TRUE(WaitForGui([&] { return Child<QRadioButton>(again, "privateChoice")->isChecked(); }));
  QTest::keyClick(again->windowHandle(), Qt::Key_A, Qt::AltModifier);  // "Use &another port"
  EXPECT_TRUE(WaitForGui([&] { return !Child<QCheckBox>(again, "alternatePort")->isChecked(); }));
  EXPECT_EQ(Child<QLineEdit>(again, "listeningPort")->text(), QStringLiteral("1720"));
  QSignalSpy rejected(again, &QDialog::rejected);
  QTest::keyClick(again, Qt::Key_Escape);
  EXPECT_EQ(rejected.count(), 1);
  EXPECT_EQ(LoadNetworkSettings(*store), expected);
}

TEST(SettingsDialogs, ProgramDialogRefusesThenSavesAndCancelKeepsAll) {
  ProgramRig rig;
  rig.store->WriteString(keys::kRecordingsDirectory, rig.dir.File("old"));
  auto* dialog = ShowDialog<ProgramSettingsDialog>(rig.store, rig.env);
  EXPECT_EQ(Child<QLineEdit>(dialog, "ringTime")->text(), QStringLiteral("10"));
  EXPECT_EQ(Child<QLineEdit>(dialog, "recordingsDirectory")->text(),
            QString::fromStdString(rig.dir.File("old")));
  Child<QLineEdit>(dialog, "ringTime")->setText(QStringLiteral("31"));
  dialog->Ok();
  ASSERT_TRUE(AnswerBox("refusalBox", QMessageBox::Ok));
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(ReadRingTime(*rig.store), 10u);

  QSignalSpy accepted(dialog, &QDialog::accepted);
  Child<QLineEdit>(dialog, "ringTime")->setText(QStringLiteral("20"));
  Child<QCheckBox>(dialog, "autoStart")->setChecked(true);
  Child<QCheckBox>(dialog, "popupCongestion")->setChecked(false);
  dialog->Ok();
  ASSERT_TRUE(WaitForGui([&] { return accepted.count() == 1; }));
  EXPECT_EQ(ReadRingTime(*rig.store), 20u);
  EXPECT_EQ(ReadDword(*rig.store, keys::kPopupNetworkCongestion), 0u);
  EXPECT_TRUE(IsAutoStartOn(rig.env.autostartDirectory));
  EXPECT_TRUE(std::filesystem::is_directory(rig.dir.File("old")));

  auto* again = ShowDialog<ProgramSettingsDialog>(rig.store, rig.env);
  EXPECT_TRUE(Child<QCheckBox>(again, "autoStart")->isChecked());
  Child<QLineEdit>(again, "ringTime")->setText(QStringLiteral("7"));
  Child<QCheckBox>(again, "autoStart")->setChecked(false);
  again->reject();
  EXPECT_EQ(ReadRingTime(*rig.store), 20u);
  EXPECT_TRUE(IsAutoStartOn(rig.env.autostartDirectory));
}

// The whole way a user takes: Network Settings moves the port and asks for
// the test; the test borrows the port from the engine, reaches the service
// and gets its datagram; the engine listens again on the new port.
TEST(SettingsDialogs, WindowMovesTheEngineAndTestsTheNewPort) {
  ServerProcess server({}, 45);
  ASSERT_FALSE(server.HostPort().empty());
  ControllerRig rig;
  // Behind a firewall, its address detected by the service.
  SaveNetworkSettings(*rig.settings, {.ipType = 1});
  MainWindowOptions options = PlainWindow();
  options.connectivity.client.directoryHost = server.HostPort();
  options.connectivity.client.cacheDirectory = rig.dir.Path();
  options.connectivity.bindAddress = "127.0.0.1";
  options.connectivity.waitRounds = 30;
  MainWindow window(*rig.calls, nullptr, rig.settings, options);
  window.show();

  const uint16_t port = UnusedUdpPort();
  ASSERT_NE(port, 0);
  rig.factory->boundPort = port;
  window.OpenNetworkSettings();
  auto* dialog = VisibleWindow<NetworkSettingsDialog>("networkSettingsDialog");
  ASSERT_NE(dialog, nullptr);
  Child<QCheckBox>(dialog, "alternatePort")->setChecked(true);
  Child<QLineEdit>(dialog, "listeningPort")->setText(QString::number(port));
  Child<QPushButton>(dialog, "applyAndTestFirewall")->click();
  ASSERT_TRUE(AnswerBox("firewallInformationBox", QMessageBox::Ok));

  // The engine moved to the new port, and the test opened.
  ASSERT_TRUE(WaitForGui(
      [&] { return rig.calls->State() == CallState::kListening && rig.Engine().port == port; }));
  EXPECT_EQ(rig.calls->ListeningPort(), port);
  ConnectivityTestDialog* test = nullptr;
  ASSERT_TRUE(WaitForGui([&] {
    test = VisibleWindow<ConnectivityTestDialog>("connectivityTestDialog");
    return test != nullptr;
  }));
  const size_t engines = rig.factory->engines.size();
  Child<QPushButton>(test, "startTest")->click();
  ASSERT_TRUE(WaitForGui([&] { return ShownBox("testResultBox") != nullptr; }, 10000));
  EXPECT_EQ(ShownBox("testResultBox")->text(), QStringLiteral("Congratulations"));
  const QStringList log = test->LogLines();
  EXPECT_THAT(log, Contains(QStringLiteral("Your port forward settings are working correctly.")));
  EXPECT_THAT(log, Contains(QStringLiteral("Listening port is %1").arg(port)));
  // The engine gave the port up for the run and took it back after it.
  EXPECT_EQ(rig.factory->engines.size(), engines + 1);
  EXPECT_EQ(rig.factory->engines[engines - 1]->stops.load(), 1);
  EXPECT_EQ(rig.Engine().port, port);
  EXPECT_EQ(rig.calls->State(), CallState::kListening);
  EXPECT_TRUE(Child<QPushButton>(test, "startTest")->isEnabled());
  ASSERT_TRUE(AnswerBox("testResultBox", QMessageBox::Ok));
  server.WaitLog("fwtest");
  EXPECT_THAT(server.LogLines("fwtest").back(), HasSubstr(":" + std::to_string(port)));
}

TEST(SettingsDialogs, TestAndNetworkSettingsRefuseWhatTheyCannotDo) {
  ControllerRig rig;
  ConnectivityController test(*rig.calls, rig.settings, {});
  SaveNetworkSettings(*rig.settings, {.ipType = 4});
  ConnectivityController::Opening opening = test.Open();
  EXPECT_TRUE(opening.refusalWarning);
  EXPECT_THAT(opening.refusal.toStdString(), HasSubstr("You won't be able to test"));
  SaveNetworkSettings(*rig.settings, {.ipType = 0});
  opening = test.Open();
  EXPECT_EQ(opening.refusal, QString());
  EXPECT_EQ(opening.title, QStringLiteral("Test if your computer is reachable by others"));

  rig.StartCall(FakeConnection(1), "bob");
  EXPECT_EQ(test.Open().refusal, QStringLiteral("You cannot do this test while you are on a call"));
  MainWindow window(*rig.calls, nullptr, rig.settings, PlainWindow());
  window.OpenNetworkSettings();
  ASSERT_TRUE(WaitForGui([] { return ShownBox("messageBox") != nullptr; }));
  EXPECT_EQ(ShownBox("messageBox")->text().toStdString(), texts::kNetworkDuringCall);
  EXPECT_EQ(VisibleWindow("networkSettingsDialog"), nullptr);
}

}  // namespace
}  // namespace dialvo::test
