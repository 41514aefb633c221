// Login, keep-alive, online list and logoff against a fake service.
#include "service/Presence.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <thread>

#include "settings/Settings.h"
#include "tests/service/FakeService.h"
#include "tests/service/Tinyproxy.h"
#include "tests/settings/TempDir.h"
#include "tests/support/Wait.h"

namespace dialvo {
namespace {

using test::FakeService;
using test::HttpResponse;

class RecordingObserver : public PresenceObserver {
 public:
  void PostAppRequest(AppRequest request) override {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  void ShowNotice(const Notice& notice) override {
    std::lock_guard lock(mutex_);
    notices_.push_back(notice);
  }
  void AddressStatusChanged(const AddressStatus& status) override {
    std::lock_guard lock(mutex_);
    statuses_.push_back(status.text);
  }
  void NetworkSettingsChanged() override { ++networkChanges; }
  void LoginProgress(uint32_t state) override {
    std::lock_guard lock(mutex_);
    progress_.push_back(state);
  }
  void LoginFinished(const LoginOutcome& outcome) override {
    std::lock_guard lock(mutex_);
    logins_.push_back(outcome);
  }
  void LoggedOut() override { ++loggedOut; }
  void OnlineChanged(const OnlineRefresh& refresh) override {
    std::lock_guard lock(mutex_);
    refreshes_.push_back(refresh);
  }

  template <typename T>
  std::vector<T> Take(std::vector<T>& from) {
    std::lock_guard lock(mutex_);
    return std::exchange(from, {});
  }
  std::vector<AppRequest> Requests() { return Take(requests_); }
  std::vector<Notice> Notices() { return Take(notices_); }
  std::vector<std::string> Statuses() { return Take(statuses_); }
  std::vector<uint32_t> Progress() { return Take(progress_); }
  std::vector<LoginOutcome> Logins() { return Take(logins_); }
  std::vector<OnlineRefresh> Refreshes() { return Take(refreshes_); }

  std::atomic<int> networkChanges{0};
  std::atomic<int> loggedOut{0};

 private:
  std::mutex mutex_;  // guards the lists; taken by every thread that reports and the test
  std::vector<AppRequest> requests_;
  std::vector<Notice> notices_;
  std::vector<std::string> statuses_;
  std::vector<uint32_t> progress_;
  std::vector<LoginOutcome> logins_;
  std::vector<OnlineRefresh> refreshes_;
};

constexpr const char* kGuid = "11111111-2222-3333-4444-555555555555";

struct PresenceFixture {
  test::TempDir tmp;
  FakeService service;
  SettingsStore settings{tmp / "conf"};
  RecordingObserver observer;
  std::unique_ptr<PresenceClient> client;

  PresenceFixture() { service.AddUser("ann", "pw", {"Bob", "cy", "ann"}); }

  PresenceConfig Config() {
    PresenceConfig config;
    config.client.timeoutSeconds = 1;
    config.client.waitStepMs = 100;
    config.client.directoryHost = service.DirectoryHost();
    config.client.cacheDirectory = tmp / "cache";
    config.hostAddresses = [] { return std::vector<std::string>{"127.0.0.2"}; };
    config.connectTimeoutMs = 2000;
    config.loginThreadDelayMs = 0;
    config.busyLockWaitMs = 200;
    config.requestPauseMs = 0;
    config.instanceGuid = kGuid;
    return config;
  }
  PresenceClient& Make() { return Make(Config()); }
  PresenceClient& Make(PresenceConfig config) {
    client = std::make_unique<PresenceClient>(settings, observer, std::move(config));
    return *client;
  }
  // The owner's part: does what the rounds asked for.
  std::vector<AppRequest> HandleRequests() {
    auto requests = observer.Requests();
    for (const AppRequest r : requests) client->HandleAppRequest(r);
    return requests;
  }
  void LogIn() {
    ASSERT_EQ(client->Login("ann", "pw", true).state, kLoginAccepted);
    observer.Requests();
    observer.Notices();
  }
};

TEST(Presence, AcceptedLoginTakesTheServiceBuddyListAndStoresTheCredentials) {
  PresenceFixture f;
  ASSERT_TRUE(SaveAutoLogin(f.settings, true));
  PresenceClient& client = f.Make();
  const LoginOutcome outcome = client.Login("  ann ", "pw", false);
  EXPECT_EQ(outcome.result, LoginOutcome::Result::kDone);
  EXPECT_EQ(outcome.state, kLoginAccepted);
  EXPECT_TRUE(outcome.interactive);  // the first login of the run
  EXPECT_TRUE(client.IsLoggedIn());
  EXPECT_EQ(client.UserName(), "ann");
  EXPECT_EQ(client.Buddies().Names(), (std::vector<std::string>{"bob", "cy", "ann"}));
  EXPECT_EQ(client.Location().currentIp, f.service.DirectoryHost());
  EXPECT_EQ(f.observer.Progress(), (std::vector<uint32_t>{0, 3, 6}));

  const auto logins = f.service.Calls("logmein.asp");
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].body,
            "user=ann&Pass=pw&ListeningPort=1720&InstanceGUID=11111111%2D2222%2D3333%2D4444%2D"
            "555555555555&IPAddr=127%2E0%2E0%2E2&IPType=0&Version=5");
  const StoredLogin stored = LoadStoredLogin(f.settings);
  EXPECT_EQ(stored.user, "ann");
  EXPECT_EQ(stored.password, "pw");
  EXPECT_FALSE(std::filesystem::exists(f.tmp / "cache" / "DialvoServer.ini"));

  EXPECT_EQ(client.Login("ann", "pw", false).interactive, false);

  // The local copy goes up as it is stored.
  ASSERT_TRUE(SaveBuddyList(f.settings, "ann", {"zed", "bob"}));
  ASSERT_TRUE(client.SyncBuddyList());
  const auto syncs = f.service.Calls("syncblist.asp");
  ASSERT_EQ(syncs.size(), 1u);
  EXPECT_EQ(syncs[0].body, "User=ann&Pass=pw&buddy=zed&buddy=bob&Version=5");
}

TEST(Presence, FailedLoginsSayWhyAndStopAutomaticRetries) {
  PresenceFixture f;
  PresenceClient& client = f.Make();
  EXPECT_EQ(client.Login("  ", "pw", true).result, LoginOutcome::Result::kEmptyUser);
  EXPECT_TRUE(f.service.Calls().empty());

  EXPECT_EQ(client.Login("ann", "wrong", true).state, kLoginRefused);
  EXPECT_FALSE(client.IsLoggedIn());
  EXPECT_FALSE(client.ReLoginAllowed());
  auto notices = f.observer.Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].text, "Wrong name or password");
  EXPECT_EQ(notices[0].autoCloseSeconds, 25u);
  EXPECT_EQ(LoadStoredLogin(f.settings).user, "");

  f.service.SetAnswer("logmein.asp", [](const test::Form&) {
    return HttpResponse::Text(200, "<html>Too busy</html");
  });
  EXPECT_EQ(client.Login("ann", "pw", true).state, kLoginUnreadable);
  notices = f.observer.Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].caption, "Server is busy.     [Auto close in %d secs]");

  f.service.SetAnswer("DialvoServer.asp",
                      [](const test::Form&) { return HttpResponse::Text(404, "Not Found"); });
  EXPECT_EQ(client.Login("ann", "pw", true).state, kLoginUnreachable);
  EXPECT_TRUE(client.ReLoginAllowed());  // the user asked again

  PresenceConfig config = f.Config();
  config.client.directoryHost = "127.0.0.1:" + std::to_string(test::UnusedLoopbackPort());
  EXPECT_EQ(f.Make(config).Login("ann", "pw", true).state, kLoginNoLocalAddress);
}

TEST(Presence, KeepAliveRoundsFollowBuddiesComingAndGoing) {
  PresenceFixture f;
  PresenceClient& client = f.Make();
  f.LogIn();
  f.service.SetOnline("bob", "1.2.3.4", 5000, 0);

  client.KeepAliveTick();
  EXPECT_EQ(f.observer.Statuses(),
            (std::vector<std::string>{"Checking server", "Your IP:127.0.0.2"}));
  const auto iamup = f.service.Calls("iamup.asp");
  ASSERT_EQ(iamup.size(), 1u);
  EXPECT_EQ(iamup[0].body,
            "User=ann&Pass=pw&ListeningPort=1720&InstanceGUID=11111111%2D2222%2D3333%2D4444%2D"
            "555555555555&IPAddr=127%2E0%2E0%2E2&IPType=0&Version=5");
  const auto lists = f.service.Calls("getuserlist.asp");
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(lists[0].body, "User=ann&Pass=pw&buddy=bob&buddy=cy&buddy=ann&Version=5");
  EXPECT_EQ(f.HandleRequests(), std::vector<AppRequest>{AppRequest::kRefreshOnline});

  auto refreshes = f.observer.Refreshes();
  ASSERT_EQ(refreshes.size(), 1u);
  ASSERT_EQ(refreshes[0].newcomers.size(), 1u);  // not the user himself
  EXPECT_EQ(refreshes[0].newcomers[0].userId, "bob");
  EXPECT_TRUE(refreshes[0].firstAfterLogin);
  EXPECT_EQ(refreshes[0].onlineCount, 2u);
  OnlineBuddy found;
  ASSERT_TRUE(client.FindOnlineBuddy("bob", found));
  EXPECT_EQ(found.address, "1.2.3.4");
  EXPECT_EQ(found.listeningPort, 5000);
  EXPECT_FALSE(client.FindOnlineBuddy("Bob", found));  // case counts

  f.service.SetOnline("cy", "LAN", 1720, 0);
  f.service.SetOnline("bob", "5.6.7.8", 5000, 0);
  client.KeepAliveTick();
  f.HandleRequests();
  refreshes = f.observer.Refreshes();
  ASSERT_EQ(refreshes.size(), 1u);
  ASSERT_EQ(refreshes[0].newcomers.size(), 1u);
  EXPECT_EQ(ImageFor(refreshes[0].newcomers[0]), BuddyImage::kBehindFirewall);
  EXPECT_FALSE(refreshes[0].firstAfterLogin);
  ASSERT_EQ(refreshes[0].changed.size(), 1u);
  EXPECT_EQ(refreshes[0].changed[0].address, "5.6.7.8");

  f.service.SetOffline("bob");
  client.KeepAliveTick();
  f.HandleRequests();
  refreshes = f.observer.Refreshes();
  ASSERT_EQ(refreshes.size(), 1u);
  EXPECT_EQ(refreshes[0].gone, std::vector<std::string>{"bob"});
  EXPECT_TRUE(refreshes[0].newcomers.empty());

  // A refused list empties the list but leaves the items until the next one.
  f.service.SetAnswer("getuserlist.asp", [](const test::Form&) {
    return HttpResponse::Text(200, "<?xml version=\"1.0\"?><l><errcode>2</errcode></l>");
  });
  client.KeepAliveTick();
  EXPECT_TRUE(f.HandleRequests().empty());
  EXPECT_FALSE(client.FindOnlineBuddy("cy", found));
  EXPECT_EQ(client.Online().Items().size(), 1u);
}

TEST(Presence, LoginAndKeepAlivePublishThePortTheEngineListensOn) {
  PresenceFixture f;
  NetworkSettings net;
  net.listeningPort = 5555;  // stored while the alternate-port flag is off: not in use
  ASSERT_TRUE(SaveNetworkSettings(f.settings, net));
  PresenceClient& client = f.Make();
  const auto lastPort = [&](const std::string& script) {
    const auto calls = f.service.Calls(script);
    return calls.empty() ? std::string() : test::FormValue(calls.back().form, "ListeningPort");
  };
  f.LogIn();
  EXPECT_EQ(lastPort("logmein.asp"), "1720");

  // An engine on a port of its own (a command-line port, or one picked freely).
  client.SetListeningPort(40123);
  client.KeepAliveTick();
  EXPECT_EQ(lastPort("iamup.asp"), "40123");
  f.LogIn();
  EXPECT_EQ(lastPort("logmein.asp"), "40123");
}

TEST(Presence, ServiceEndingTheLoginLogsOff) {
  PresenceFixture f;
  PresenceClient& client = f.Make();
  f.LogIn();
  f.service.SetAnswer("iamup.asp", [](const test::Form&) {
    return HttpResponse::Text(200, "#You logged in elsewhere");
  });
  client.KeepAliveTick();
  EXPECT_TRUE(f.service.Calls("getuserlist.asp").empty());
  const auto notices = f.observer.Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].text, "#You logged in elsewhere");
  EXPECT_EQ(f.HandleRequests(), std::vector<AppRequest>{AppRequest::kLogoff});
  EXPECT_FALSE(client.IsLoggedIn());
  EXPECT_EQ(client.State(), kLogoffAccepted);
  const auto logoffs = f.service.Calls("logmeoff.asp");
  ASSERT_EQ(logoffs.size(), 1u);
  EXPECT_EQ(logoffs[0].body,
            "User=ann&Pass=pw&InstanceGUID=11111111%2D2222%2D3333%2D4444%2D555555555555"
            "&IPAddr=127%2E0%2E0%2E2&IPType=0&Version=5");
  EXPECT_FALSE(f.service.IsOnline("ann"));

  f.LogIn();
  f.service.SetAnswer("iamup.asp", [](const test::Form&) { return HttpResponse::Text(200, "-"); });
  client.KeepAliveTick();
  EXPECT_EQ(f.HandleRequests(), std::vector<AppRequest>{AppRequest::kLogoff});
  EXPECT_TRUE(f.observer.Notices().empty());

  // No answer at all: logged off here without telling the service.
  f.LogIn();
  f.service.SetAnswer("iamup.asp", [](const test::Form&) { return HttpResponse::Hang(); });
  client.KeepAliveTick();
  EXPECT_EQ(f.HandleRequests(), std::vector<AppRequest>{AppRequest::kLocalLogoff});
  EXPECT_FALSE(client.IsLoggedIn());
  EXPECT_EQ(f.service.Calls("logmeoff.asp").size(), 2u);
}

TEST(Presence, ThreeNonXmlListsInARowEndTheLogin) {
  PresenceFixture f;
  ASSERT_TRUE(f.settings.WriteString(keys::kSupportEmail, "help@example.org"));
  PresenceClient& client = f.Make();
  f.LogIn();
  std::string list = "Busy";
  f.service.SetAnswer("getuserlist.asp",
                      [&](const test::Form&) { return HttpResponse::Text(200, list); });
  client.KeepAliveTick();
  client.KeepAliveTick();
  EXPECT_EQ(client.BusyCount(), 2u);
  list = " \r\n";  // an empty answer leaves the count alone
  client.KeepAliveTick();
  EXPECT_EQ(client.BusyCount(), 2u);
  list = "<?xml version=\"1.0\"?><l><errcode>0</errcode></l>";
  client.KeepAliveTick();
  EXPECT_EQ(client.BusyCount(), 0u);
  EXPECT_TRUE(client.ReLoginAllowed());
  f.observer.Requests();

  list = "Busy";
  for (int i = 0; i < 3; ++i) client.KeepAliveTick();
  EXPECT_EQ(f.observer.Requests(), std::vector<AppRequest>{AppRequest::kLogoff});
  EXPECT_FALSE(client.ReLoginAllowed());
  const auto notices = f.observer.Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].text.find("send an email to help@example.org"), std::string::npos);
  // Past the limit, further busy answers end nothing more.
  client.KeepAliveTick();
  EXPECT_EQ(client.BusyCount(), 4u);
  EXPECT_TRUE(f.observer.Requests().empty());
}

TEST(Presence, UnreachableServiceLogsOffLocallyAndAutoLoginComesBack) {
  PresenceFixture f;
  ASSERT_TRUE(SaveAutoLogin(f.settings, true));
  ASSERT_TRUE(StoreLoginCredentials(f.settings, "ann", "pw"));
  PresenceClient& client = f.Make();

  client.KeepAliveTick();  // reachable at start: log in automatically
  EXPECT_EQ(f.HandleRequests(), std::vector<AppRequest>{AppRequest::kAutoLogin});
  EXPECT_TRUE(client.IsLoggedIn());
  auto logins = f.observer.Logins();
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_TRUE(logins[0].interactive);  // first login of the run

  // A proxy that is not there: the service counts as unreachable.
  NetworkSettings net;
  net.useHttpProxy = 1;
  net.httpProxyName = "127.0.0.1";
  net.httpProxyPort = test::UnusedLoopbackPort();
  ASSERT_TRUE(SaveNetworkSettings(f.settings, net));
  client.KeepAliveTick();
  EXPECT_EQ(f.observer.networkChanges.load(), 1);
  EXPECT_EQ(f.observer.Statuses().back(), "HTTP proxy not reachable");
  EXPECT_EQ(f.HandleRequests(), std::vector<AppRequest>{AppRequest::kLocalLogoff});
  EXPECT_FALSE(client.IsLoggedIn());
  EXPECT_TRUE(f.service.Calls("logmeoff.asp").empty());

  ASSERT_TRUE(SaveNetworkSettings(f.settings, NetworkSettings{}));
  client.KeepAliveTick();
  EXPECT_EQ(f.HandleRequests(), std::vector<AppRequest>{AppRequest::kAutoLogin});
  EXPECT_TRUE(client.IsLoggedIn());
  logins = f.observer.Logins();
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_FALSE(logins[0].interactive);
}

TEST(Presence, SecondLoginWhileOneRunsIsDropped) {
  PresenceFixture f;
  f.service.SetAnswer("logmein.asp", [](const test::Form&) { return HttpResponse::Hang(); });
  PresenceConfig config = f.Config();
  config.client.timeoutSeconds = 2;
  config.client.waitStepMs = 400;  // the first login holds the lock for 1.2 s
  PresenceClient& client = f.Make(config);
  std::thread first([&] { EXPECT_EQ(client.Login("ann", "pw", true).state, kLoginUnreachable); });
  ASSERT_TRUE(test::WaitFor([&] { return client.State() == kLoginVerifying; }));
  const LoginOutcome second = client.Login("ann", "pw", true);
  EXPECT_EQ(second.result, LoginOutcome::Result::kBusy);
  EXPECT_FALSE(client.Logoff(true));
  first.join();
  EXPECT_EQ(f.service.Calls("logmein.asp").size(), 1u);
}

TEST(Presence, TimerThreadKeepsTheOnlineListCurrent) {
  PresenceFixture f;
  PresenceConfig config = f.Config();
  config.keepAliveIntervalMs = 50;
  PresenceClient& client = f.Make(config);
  f.service.SetOnline("cy", "9.9.9.9", 6000, 2);
  ASSERT_TRUE(client.Start());
  client.Login("ann", "pw", true);
  OnlineBuddy found;
  // The owner's loop: act on the rounds' requests until cy shows up.
  ASSERT_TRUE(test::WaitFor([&] {
    f.HandleRequests();
    return client.Online().Items().size() == 1 && client.FindOnlineBuddy("cy", found);
  }));
  EXPECT_EQ(found.connectionType, 2);
  ASSERT_TRUE(client.Logoff(true));
  EXPECT_FALSE(f.service.IsOnline("ann"));
  client.Stop();
  EXPECT_GE(f.service.Calls("iamup.asp").size(), 1u);
}

TEST(TimerThread, RunsOfEqualMessagesAreHandledOnce) {
  std::mutex mutex;  // guards seen; taken by the timer thread and the test
  std::vector<std::pair<uintptr_t, bool>> seen;
  TimerThread timer([&](const ThreadMessage& m, bool mergedAway) {
    std::lock_guard lock(mutex);
    seen.emplace_back(m.wParam, mergedAway);
  });
  timer.Post(WM_CALL_REPORT, 1);
  timer.Post(WM_CALL_REPORT, 2);
  timer.Post(WM_CALL_REPORT, 3);
  timer.Post(WM_TIMER_TICK, 4);
  ASSERT_TRUE(timer.Start());
  ASSERT_TRUE(test::WaitFor([&] {
    std::lock_guard lock(mutex);
    return seen.size() == 4;
  }));
  timer.Stop();
  const std::vector<std::pair<uintptr_t, bool>> expected = {
      {1, true}, {2, true}, {3, false}, {4, false}};
  EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace dialvo
