// The presence controller against a fake service, with the call controller
// on a fake engine: what the window is told, what is stored, what is sent.
#include "app/PresenceController.h"

#include <gmock/gmock.h>

#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/MainWindow.h"
#include "service/BuddyList.h"
#include "settings/Settings.h"
#include "tests/app/AppHarness.h"
#include "tests/service/FakeService.h"

namespace dialvo::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

struct PresenceRig : ControllerRig {
  // storedLogin: the settings keep alice's login, to be used at start;
  // directoryHost: another service than the fake one.
  explicit PresenceRig(bool storedLogin = false, const std::string& directoryHost = {}) {
    if (storedLogin) {
      EXPECT_TRUE(SaveAutoLogin(*settings, true));
      EXPECT_TRUE(StoreLoginCredentials(*settings, "alice", "pw"));
    }
    service.AddUser("alice", "pw", {"bob"});
    service.AddUser("carol", "pw2");
    PresenceController::Options options;
    PresenceConfig& config = options.config;
    config.client.timeoutSeconds = 2;
    config.client.waitStepMs = 50;
    config.client.directoryHost = directoryHost.empty() ? service.DirectoryHost() : directoryHost;
    config.client.cacheDirectory = dir.Path();
    config.hostAddresses = [] { return std::vector<std::string>{"127.0.0.2"}; };
    config.connectTimeoutMs = 2000;
    config.loginThreadDelayMs = 0;
    config.requestPauseMs = 0;
    config.keepAliveIntervalMs = 3600 * 1000;  // rounds only when the test asks
    options.uploadPeriodMs = 20;
    options.exitLogoffMs = 500;
    presence = std::make_unique<PresenceController>(options, settings, *calls, sounds);
    QObject::connect(presence.get(), &PresenceController::notice,
                     [this](const QString& caption, const QString& text, int, int) {
                       notices.push_back(caption + QStringLiteral("|") + text);
                     });
    QObject::connect(presence.get(), &PresenceController::message,
                     [this](const QString& text, bool) { messages.push_back(text); });
    QObject::connect(presence.get(), &PresenceController::notify,
                     [this](const QString& text, int) { notes.push_back(text); });
    QObject::connect(presence.get(), &PresenceController::paneChanged,
                     [this](int pane, const QString& text) { panes[pane] = text; });
    presence->Start(1720);
  }
  ~PresenceRig() {
    ShutDown(*presence, presence->Stopped());
    presence.reset();
  }
  bool LogIn(const char* user = "alice", const char* password = "pw", bool keep = false) {
    presence->Login(QString::fromLatin1(user), QString::fromLatin1(password), keep);
    return WaitForGui([this] { return !presence->LoginRunning(); }) && presence->LoggedIn();
  }
  size_t Count(const std::string& script) const { return service.Calls(script).size(); }
  // Until the client's online list holds name with this address and port.
  bool Listed(const std::string& name, const std::string& address, int port) {
    return WaitForGui([&] {
      OnlineBuddy record;
      return presence->Client().FindOnlineBuddy(name, record) && record.address == address &&
             record.listeningPort == port;
    });
  }
  // One more keep-alive round, and its online list handled.
  bool Round() {
    const size_t lists = Count("getuserlist.asp");
    presence->Refresh();
    const bool asked = WaitForGui([&] { return Count("getuserlist.asp") > lists; });
    WaitForGui([] { return false; }, 100);  // the answer's refresh reaches the GUI thread
    return asked;
  }

  FakeService service;
  std::unique_ptr<PresenceController> presence;
  std::vector<QString> notices;
  QString panes[3];
};

TEST(PresenceController, LoginsAcceptedRefusedAndBusyAndTheStoredLogin) {
  PresenceRig rig;
  // Refused: the service's reason, and nothing stored.
  EXPECT_FALSE(rig.LogIn("alice", "wrong", true));
  ASSERT_TRUE(WaitForGui([&] { return !rig.notices.empty(); }));
  EXPECT_EQ(rig.notices.back(),
            QStringLiteral("Login Failed.     [Auto close in %d secs]|Wrong name or password"));
  EXPECT_EQ(LoadStoredLogin(*rig.settings).autoLogin, 0u);
  // Unreadable: the service is taken to be busy.
  rig.service.SetAnswer("logmein.asp", [](const Form&) { return HttpResponse::Text(200, "oops"); });
  EXPECT_FALSE(rig.LogIn());
  ASSERT_TRUE(WaitForGui([&] { return rig.notices.size() == 2; }));
  EXPECT_THAT(rig.notices.back().toStdString(), ::testing::StartsWith("Server is busy."));
  rig.service.SetAnswer("logmein.asp", nullptr);
  // An empty name is refused before anything is sent.
  const size_t logins = rig.Count("logmein.asp");
  rig.presence->Login(QStringLiteral("  "), QStringLiteral("pw"), false);
  EXPECT_EQ(rig.messages.back(), QStringLiteral("Enter User Name"));
  EXPECT_EQ(rig.Count("logmein.asp"), logins);

  // Accepted, with the box ticked: the name and password are kept, the
  // window and the engine take the name, the service's buddy list arrives.
  // A second login asked for while it runs is dropped.
  const size_t tried = rig.Count("logmein.asp");
  rig.presence->Login(QStringLiteral("alice"), QStringLiteral("pw"), true);
  ASSERT_TRUE(rig.LogIn("bob", "pw", false));
  EXPECT_EQ(rig.calls->Title(), QStringLiteral("Orvanta -alice"));
  EXPECT_EQ(rig.Engine().userName, "alice");
  const StoredLogin stored = LoadStoredLogin(*rig.settings);
  EXPECT_EQ(stored.autoLogin, 1u);
  EXPECT_EQ(stored.user, "alice");
  EXPECT_EQ(stored.password, "pw");
  EXPECT_EQ(rig.presence->Buddies().Root()->rowCount(), 1);
  EXPECT_EQ(rig.presence->OnlineTitle(), QStringLiteral("Buddies Online (0/1)"));

  // Log Off: the request goes out and everything says so.
  rig.presence->Logoff();
  ASSERT_TRUE(WaitForGui([&] { return !rig.presence->LoggedIn(); }));
  EXPECT_EQ(rig.Count("logmeoff.asp"), 1u);
  EXPECT_EQ(rig.Count("logmein.asp"), tried + 1);  // the log-off went after any login
  EXPECT_EQ(rig.calls->Title(), QStringLiteral("Orvanta -Please Login"));
  EXPECT_EQ(rig.Engine().userName, "UNKNOWN");
  EXPECT_EQ(rig.panes[0], QStringLiteral("Please Login"));
  // Unticking the box by hand forgets the stored login at once.
  rig.presence->ForgetStoredLogin();
  EXPECT_EQ(LoadStoredLogin(*rig.settings).user, "");
}

TEST(PresenceController, StoredLoginAtStartBusyListsAndMergedRefreshes) {
  // A settings file with a kept login logs in by itself at start.
  PresenceRig rig(/*storedLogin=*/true);
  ASSERT_TRUE(WaitForGui([&] { return rig.presence->LoggedIn(); }));
  EXPECT_EQ(rig.calls->Title(), QStringLiteral("Orvanta -alice"));

  // Refresh pressed five times while a round waits for the service: the
  // round, then one more.
  std::atomic<bool> release{false};
  rig.service.SetAnswer("iamup.asp", [&release](const Form&) {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return HttpResponse::Text(200, "+");
  });
  const size_t before = rig.Count("iamup.asp");
  rig.presence->Refresh();
  ASSERT_TRUE(WaitForGui([&] { return rig.Count("iamup.asp") == before + 1; }));
  for (int i = 0; i < 5; ++i) rig.presence->Refresh();
  release = true;
  ASSERT_TRUE(WaitForGui([&] { return rig.Count("iamup.asp") == before + 2; }));
  WaitForGui([] { return false; }, 200);
  EXPECT_EQ(rig.Count("iamup.asp"), before + 2);
  rig.service.SetAnswer("iamup.asp", nullptr);

  // Three online lists in a row that are not XML end the login.
  rig.service.SetAnswer("getuserlist.asp",
                        [](const Form&) { return HttpResponse::Text(200, "Busy"); });
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(rig.Round());
  ASSERT_TRUE(WaitForGui([&] { return !rig.presence->LoggedIn(); }));
  ASSERT_TRUE(WaitForGui([&] { return !rig.notices.empty(); }));
  EXPECT_THAT(rig.notices.back().toStdString(), ::testing::StartsWith("Server is busy now."));
  EXPECT_EQ(rig.Count("logmeoff.asp"), 1u);
}

TEST(PresenceController, BuddiesComeAndGoAndAreCalledByName) {
  PresenceRig rig;
  rig.service.SetOnline("bob", "127.0.0.1", 1800, 0);
  ASSERT_TRUE(rig.LogIn());
  ASSERT_TRUE(rig.Round());
  ASSERT_TRUE(WaitForGui([&] { return rig.presence->Online().Root()->rowCount() == 1; }));
  EXPECT_EQ(rig.presence->OnlineTitle(), QStringLiteral("Buddies Online (1/1)"));
  EXPECT_THAT(rig.notes, ElementsAre(QStringLiteral("1 buddies online")));
  EXPECT_THAT(rig.sounds->log, Contains("play buddyin.wav"));

  // Talk on the online page calls the buddy where the service says.
  rig.factory->holdConnect = true;
  rig.calls->Talk(CallPage::kOnline, QStringLiteral("bob"));
  ASSERT_TRUE(rig.Connecting(2));
  EXPECT_EQ(rig.Engine().host, "127.0.0.1");
  EXPECT_EQ(rig.Engine().callPort, 1800u);
  rig.calls->CancelConnect();
  ASSERT_TRUE(WaitForGui([&] { return rig.calls->State() == CallState::kListening; }));

  // Behind a firewall: cannot be called. A record with no usable port
  // neither.
  rig.service.SetOnline("bob", "LAN", 1800, 0);
  ASSERT_TRUE(rig.Round());
  ASSERT_TRUE(rig.Listed("bob", "LAN", 1800));
  rig.calls->Talk(CallPage::kOnline, QStringLiteral("bob"));
  EXPECT_EQ(rig.messages.back(),
            QStringLiteral("Cannot connect to bob's computer since it is behind a firewall. "
                           "Computers behind a firewall cannot be reached. But they can initiate "
                           "a connection to you."));
  rig.service.SetOnline("bob", "127.0.0.1", 0, 1);
  ASSERT_TRUE(rig.Round());
  ASSERT_TRUE(rig.Listed("bob", "127.0.0.1", 0));
  rig.calls->Talk(CallPage::kOnline, QStringLiteral("bob"));
  EXPECT_EQ(rig.messages.back(), QStringLiteral("The port specified is invalid"));
  rig.calls->Talk(CallPage::kOnline, QStringLiteral("nobody"));
  EXPECT_EQ(rig.messages.back(), QStringLiteral("User is not online"));

  // Gone: the item goes, with its sound.
  rig.service.SetOffline("bob");
  ASSERT_TRUE(rig.Round());
  ASSERT_TRUE(WaitForGui([&] { return rig.presence->Online().Root()->rowCount() == 0; }));
  EXPECT_THAT(rig.sounds->log, Contains("ring buddyout.wav"));
  // Back again later: a note per newcomer.
  rig.service.SetOnline("bob", "127.0.0.1", 1800, 0);
  ASSERT_TRUE(rig.Round());
  ASSERT_TRUE(WaitForGui([&] { return rig.notes.size() == 2; }));
  EXPECT_EQ(rig.notes.back(), QStringLiteral("bob is online"));
}

TEST(PresenceController, BuddyEditsAndCallsAreUploadedForTheirUserAndExitIsPrompt) {
  PresenceRig rig;
  // Without a login there is nothing to edit.
  rig.presence->AddBuddy();
  EXPECT_EQ(rig.messages.back(), QStringLiteral("You have to login first to add a buddy."));
  ASSERT_TRUE(rig.LogIn());
  QModelIndex editing;
  QObject::connect(rig.presence.get(), &PresenceController::editBuddy,
                   [&editing](const QModelIndex& index) { editing = index; });
  BuddyModel& model = rig.presence->Buddies();
  const QString placeholder = QString::fromLatin1(kNewBuddyPlaceholder);

  rig.presence->AddBuddy();
  ASSERT_TRUE(editing.isValid());
  EXPECT_EQ(model.Root()->rowCount(), 2);
  rig.presence->EditBuddy(1, placeholder, QStringLiteral("al ice"));
  EXPECT_EQ(rig.messages.back(), QString::fromLatin1(kInvalidBuddyNameText));
  rig.presence->EditBuddy(1, placeholder, QStringLiteral("BOB"));
  EXPECT_EQ(rig.messages.back(), QStringLiteral("This buddy is already present in the list"));
  rig.presence->EditBuddy(1, placeholder, QStringLiteral(""));
  EXPECT_EQ(rig.messages.back(), QStringLiteral("Buddy name cannot be empty!"));
  // Accepted: stored in lower case, uploaded for alice, asked for at once.
  const size_t lists = rig.Count("getuserlist.asp");
  rig.presence->EditBuddy(1, placeholder, QStringLiteral(" Carol "));
  EXPECT_EQ(model.Root()->rowCount(), 2);
  EXPECT_EQ(LoadBuddyList(*rig.settings, "alice"), (std::vector<std::string>{"bob", "carol"}));
  ASSERT_TRUE(WaitForGui([&] { return rig.Count("syncblist.asp") == 1; }));
  const Form upload = rig.service.Calls("syncblist.asp").back().form;
  EXPECT_EQ(FormValue(upload, "User"), "alice");
  ASSERT_TRUE(WaitForGui([&] { return rig.Count("getuserlist.asp") > lists; }));
  // The placeholder left as it is takes the new item away again.
  rig.presence->AddBuddy();
  rig.presence->EditBuddy(2, placeholder, placeholder);
  EXPECT_EQ(model.Root()->rowCount(), 2);

  rig.presence->DeleteBuddy(QStringLiteral("BOB"));
  EXPECT_EQ(LoadBuddyList(*rig.settings, "alice"), (std::vector<std::string>{"carol"}));
  ASSERT_TRUE(WaitForGui([&] { return rig.Count("syncblist.asp") == 2; }));

  // A call is reported for the user too.
  rig.StartCall(FakeConnection(1), "bob");
  ASSERT_TRUE(WaitForGui([&] { return rig.Count("iamtalking.asp") == 1; }));
  const Form report = rig.service.Calls("iamtalking.asp").back().form;
  EXPECT_EQ(FormValue(report, "User"), "alice");
  EXPECT_EQ(FormValue(report, "RemUser"), "bob");
  EXPECT_EQ(FormValue(report, "AvgDelay"), "1");  // no round trip measured yet

  // The service stops answering: exit still logs off promptly.
  rig.service.SetAnswer("logmeoff.asp", [](const Form&) { return HttpResponse::Hang(); });
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(ShutDown(*rig.presence, false, 5000));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_EQ(rig.Count("logmeoff.asp"), 1u);
}

TEST(PresenceController, LoginFailureBoxLeadsToTheNetworkSettings) {
  PresenceRig rig(/*storedLogin=*/false, "127.0.0.1:1");  // nobody listens there
  MainWindow window(*rig.calls, rig.presence.get(), rig.settings, PlainWindow());
  rig.presence->Login(QStringLiteral("alice"), QStringLiteral("pw"), false);
  QWidget* failed = nullptr;
  ASSERT_TRUE(
      WaitForGui([&] { return (failed = VisibleWindow("loginFailedDialog")) != nullptr; }, 5000));
  Child<QPushButton>(failed, "showNetworkSettings")->click();
  EXPECT_TRUE(WaitForGui([] { return VisibleWindow("networkSettingsDialog") != nullptr; }));
}

TEST(PresenceController, TrayMenuFollowsTheLoginAndLogsInWithTheStoredOne) {
  PresenceRig rig;
  // The menu is the same without a tray.
  MainWindow window(*rig.calls, rig.presence.get(), rig.settings, PlainWindow());
  QMenu* menu = window.TrayMenu();
  ASSERT_NE(menu, nullptr);
  const auto action = [menu](const char* name) { return Child<QAction>(menu, name); };
  const auto items = [menu] {
    QStringList out;
    for (QAction* a : menu->actions()) out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
  };
  EXPECT_EQ(items(), (QStringList{"Talk", "-", "Logoff", "Login", "-", "Program Settings",
                                  "Network Settings", "-", "Exit"}));
  EXPECT_EQ(menu->defaultAction(), action("trayTalk"));
  EXPECT_TRUE(action("trayTalk")->font().bold());

  // Talk brings the hidden window back.
  window.hide();
  action("trayTalk")->trigger();
  EXPECT_TRUE(window.isVisible());

  // Logged out: Login on, Logoff off. Nothing stored: the login page asks.
  emit menu->aboutToShow();
  EXPECT_TRUE(action("trayLogin")->isEnabled());
  EXPECT_FALSE(action("trayLogoff")->isEnabled());
  action("trayLogin")->trigger();
  EXPECT_FALSE(rig.presence->LoginRunning());
  // With a stored login, Login logs in with it; then the reverse.
  ASSERT_TRUE(rig.LogIn("alice", "pw", /*keep=*/true));
  rig.presence->Logoff();
  ASSERT_TRUE(WaitForGui([&] { return !rig.presence->LoggedIn(); }));
  action("trayLogin")->trigger();
  ASSERT_TRUE(WaitForGui([&] { return rig.presence->LoggedIn(); }));
  emit menu->aboutToShow();
  EXPECT_FALSE(action("trayLogin")->isEnabled());
  EXPECT_TRUE(action("trayLogoff")->isEnabled());
  action("trayLogoff")->trigger();
  ASSERT_TRUE(WaitForGui([&] { return !rig.presence->LoggedIn(); }));

  // The settings items open their dialogs.
  action("trayProgramSettings")->trigger();
  EXPECT_NE(VisibleWindow("programSettingsDialog"), nullptr);
  action("trayNetworkSettings")->trigger();
  EXPECT_NE(VisibleWindow("networkSettingsDialog"), nullptr);
}

}  // namespace
}  // namespace dialvo::test
