// Login, keep-alive, online list and logoff against a fake service.
#include "service/Presence.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <thread>
#include <type_traits>

#include "settings/Settings.h"
#include "tests/service/FakeService.h"
#include "tests/service/Tinyproxy.h"
#include "tests/support/FakeClock.h"
#include "tests/support/LoopbackPorts.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/Wait.h"

namespace dialvo {
namespace {

using test::FakeService;
using test::HttpResponse;

class RecordingObserver : public PresenceObserver {
 public:
  void PostAppRequest(AppRequest request) override { Add(requests_, request); }
  void ShowNotice(const Notice& notice) override { Add(notices_, notice); }
  void AddressStatusChanged(const AddressStatus& status) override { Add(statuses_, status.text); }
  void NetworkSettingsChanged() override { ++networkChanges; }
  void LoginProgress(uint32_t state) override { Add(progress_, state); }
  void LoginFinished(const LoginOutcome& outcome) override { Add(logins_, outcome); }
  void LoggedOut() override { ++loggedOut; }
  void OnlineChanged(const OnlineRefresh& refresh) override { Add(refreshes_, refresh); }
  void CallReportSent(uint64_t generation, uint32_t sessionNumber) override {
    Add(reports_, {generation, sessionNumber});
  }

  template <typename T>
  void Add(std::vector<T>& to, std::type_identity_t<T> item) {
    std::lock_guard lock(mutex_);
    to.push_back(std::move(item));
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
  using Sent = std::vector<std::pair<uint64_t, uint32_t>>;
  // Waits until count reports were sent, then takes them.
  Sent ReportsSent(size_t count) {
    test::WaitFor([&] {
      std::lock_guard lock(mutex_);
      return reports_.size() >= count;
    });
    return Take(reports_);
  }

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
  Sent reports_;
};

constexpr const char* kGuid = "11111111-2222-3333-4444-555555555555";
// What the presence commands send after the name, password and port.
const std::string kPresenceTail =
    "&InstanceGUID=11111111%2D2222%2D3333%2D4444%2D555555555555&IPAddr=127%2E0%2E0%2E2&IPType=0"
    "&Version=5";

struct PresenceFixture {
  test::ScratchDir tmp;
  FakeService service;
  SettingsStore settings{tmp.File("conf")};
  RecordingObserver observer;
  std::unique_ptr<PresenceClient> client;

  PresenceFixture() { service.AddUser("ann", "pw", {"Bob", "cy", "ann"}); }

  PresenceConfig Config() {
    PresenceConfig config;
    config.client.timeoutSeconds = 1;
    config.client.waitStepMs = 100;
    config.client.directoryHost = service.DirectoryHost();
    config.client.cacheDirectory = tmp.File("cache");
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
  // Stored while the alternate-port flag is off: not in use.
  ASSERT_TRUE(SaveNetworkSettings(f.settings, {.listeningPort = 5555}));
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
  EXPECT_EQ(logins[0].body, "user=ann&Pass=pw&ListeningPort=1720" + kPresenceTail);
  const StoredLogin stored = LoadStoredLogin(f.settings);
  EXPECT_EQ(stored.user, "ann");
  EXPECT_EQ(stored.password, "pw");
  EXPECT_FALSE(std::filesystem::exists(f.tmp.File("cache/DialvoServer.ini")));

  EXPECT_EQ(client.Login("ann", "pw", false).interactive, false);

  // The local copy goes up as it is stored.
  ASSERT_TRUE(SaveBuddyList(f.settings, "ann", {"zed", "bob"}));
  ASSERT_TRUE(client.SyncBuddyList());
  const auto syncs = f.service.Calls("syncblist.asp");
  ASSERT_EQ(syncs.size(), 1u);
  EXPECT_EQ(syncs[0].body, "User=ann&Pass=pw&buddy=zed&buddy=bob&Version=5");

  // An engine on a port of its own (a command-line port, or one picked freely).
  const auto lastPort = [&](const std::string& script) {
    const auto calls = f.service.Calls(script);
    return calls.empty() ? std::string() : test::FormValue(calls.back().form, "ListeningPort");
  };
  client.SetListeningPort(40123);
  client.KeepAliveTick();
  EXPECT_EQ(lastPort("iamup.asp"), "40123");
  f.LogIn();
  EXPECT_EQ(lastPort("logmein.asp"), "40123");

  // A list made for a login goes up only while that login lasts.
  EXPECT_TRUE(client.SyncBuddyList("ANN", {"zed"}));
  ASSERT_TRUE(client.Logoff(true));
  EXPECT_FALSE(client.SyncBuddyList("ann", {"zed"}));
  f.service.AddUser("bo", "pw2");
  ASSERT_EQ(client.Login("bo", "pw2", true).state, kLoginAccepted);
  EXPECT_FALSE(client.SyncBuddyList("ann", {"zed"}));
  ASSERT_EQ(f.service.Calls("syncblist.asp").size(), 2u);
  EXPECT_EQ(f.service.Calls("syncblist.asp")[1].body, "User=ann&Pass=pw&buddy=zed&Version=5");
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
  // A connection type no program sends: cy cannot be called, so is not shown.
  f.service.SetOnline("cy", "1.2.3.5", 5000, 4);

  client.KeepAliveTick();
  EXPECT_EQ(f.observer.Statuses(),
            (std::vector<std::string>{"Checking server", "Your IP:127.0.0.2"}));
  const auto iamup = f.service.Calls("iamup.asp");
  ASSERT_EQ(iamup.size(), 1u);
  EXPECT_EQ(iamup[0].body, "User=ann&Pass=pw&ListeningPort=1720" + kPresenceTail);
  const auto lists = f.service.Calls("getuserlist.asp");
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(lists[0].body, "User=ann&Pass=pw&buddy=bob&buddy=cy&buddy=ann&Version=5");
  EXPECT_EQ(f.HandleRequests(), std::vector<AppRequest>{AppRequest::kRefreshOnline});

  auto refreshes = f.observer.Refreshes();
  ASSERT_EQ(refreshes.size(), 1u);
  ASSERT_EQ(refreshes[0].newcomers.size(), 1u);  // not the user himself
  EXPECT_EQ(refreshes[0].newcomers[0].userId, "bob");
  EXPECT_TRUE(refreshes[0].firstAfterLogin);
  EXPECT_EQ(refreshes[0].onlineCount, 3u);
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

  // A refused list changes nothing: the buddies shown can still be called.
  f.service.SetAnswer("getuserlist.asp", [](const test::Form&) {
    return HttpResponse::Text(200, "<?xml version=\"1.0\"?><l><errcode>2</errcode></l>");
  });
  client.KeepAliveTick();
  EXPECT_TRUE(f.HandleRequests().empty());
  EXPECT_TRUE(client.FindOnlineBuddy("cy", found));
  EXPECT_EQ(client.Online().Items().size(), 1u);
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
  EXPECT_EQ(logoffs[0].body, "User=ann&Pass=pw" + kPresenceTail);
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
  ASSERT_TRUE(SaveNetworkSettings(f.settings, {.httpProxyName = "127.0.0.1",
                                               .useHttpProxy = 1,
                                               .httpProxyPort = test::UnusedLoopbackPort()}));
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

TEST(Presence, TimerRoundsKeepTheOnlineListCurrentAndStopAbortsRequestsThatHang) {
  PresenceFixture f;
  PresenceConfig config = f.Config();
  config.client.timeoutSeconds = 60;
  config.client.waitStepMs = 1000;
  config.keepAliveIntervalMs = 50;
  PresenceClient& client = f.Make(config);
  f.service.SetOnline("cy", "9.9.9.9", 6000, 2);
  ASSERT_TRUE(client.Start());
  f.LogIn();
  OnlineBuddy found;
  // The owner's loop: act on the rounds' requests until cy shows up.
  ASSERT_TRUE(test::WaitFor([&] {
    f.HandleRequests();
    return client.Online().Items().size() == 1 && client.FindOnlineBuddy("cy", found);
  }));
  EXPECT_EQ(found.connectionType, 2);

  for (const char* script : {"iamup.asp", "syncblist.asp", "logmeoff.asp", "logmein.asp"}) {
    f.service.SetAnswer(script, [](const test::Form&) { return HttpResponse::Hang(); });
  }
  // The timer thread's next round, an upload and a logoff all wait for the
  // service; the rounds before have ended.
  const size_t rounds = f.service.Calls("iamup.asp").size();
  bool synced = true;
  std::thread upload([&] { synced = client.SyncBuddyList("ann", {"bob"}); });
  std::thread logoff([&] { client.Logoff(true); });
  ASSERT_TRUE(test::WaitFor([&] {
    return f.service.Calls("iamup.asp").size() == rounds + 1 &&
           f.service.Calls("syncblist.asp").size() == 1 &&
           f.service.Calls("logmeoff.asp").size() == 1;
  }));
  f.observer.Requests();
  // Fault checks against the 60 s limit, not speed targets.
  auto start = std::chrono::steady_clock::now();
  client.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  upload.join();
  logoff.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(synced);
  EXPECT_EQ(client.State(), kLogoffUnreachable);
  EXPECT_FALSE(client.IsLoggedIn());
  // Nothing the aborted round asked for reaches the owner.
  EXPECT_TRUE(f.observer.Requests().empty());

  // Work begun after a Stop runs as usual, and the next Stop ends it too. A
  // second login while one runs is dropped.
  LoginOutcome outcome;
  std::thread login([&] { outcome = client.Login("ann", "pw", true); });
  ASSERT_TRUE(test::WaitFor([&] { return f.service.Calls("logmein.asp").size() == 2; }));
  EXPECT_EQ(client.Login("ann", "pw", true).result, LoginOutcome::Result::kBusy);
  EXPECT_FALSE(client.Logoff(true));
  start = std::chrono::steady_clock::now();
  client.Stop();
  login.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(outcome.state, kLoginUnreachable);
  EXPECT_EQ(f.service.Calls("logmein.asp").size(), 2u);
}

// A report made at tick nowMs, one row per participant: name, ms since it
// joined, delay sum and count.
struct RowSpec {
  const char* name;
  uint32_t agoMs;
  uint64_t delaySum;
  uint32_t delayCount;
};
std::unique_ptr<CallReportSnapshot> Report(uint64_t generation, const std::string& guid,
                                           uint32_t nowMs, const std::vector<RowSpec>& rows,
                                           bool recorded = false, const std::string& user = "ann") {
  auto report = std::make_unique<CallReportSnapshot>();
  report->user = user;
  report->conferenceGuid = guid;
  report->callGeneration = generation;
  report->recorded = recorded;
  for (const RowSpec& r : rows) {
    report->rows.push_back(
        {r.name, static_cast<uint32_t>(nowMs - r.agoMs), r.delaySum, r.delayCount});
  }
  return report;
}

// The service numbers each call after its identifier; "late" answers only
// once the test lets it.
struct ReportingFixture : PresenceFixture {
  test::FakeClock clock{5000};  // the rows below joined before the tick wrapped
  std::mutex mutex;             // guards released; taken by the service's threads and the test
  std::condition_variable cv;
  bool released = false;

  PresenceClient& Start() {
    service.SetAnswer("iamtalking.asp", [this](const test::Form& form) {
      const std::string guid = test::FormValue(form, "VoiceConferenceGUID");
      if (guid == "late") {
        std::unique_lock lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(5), [&] { return released; });
      }
      return HttpResponse::Text(200, "+OK " + std::to_string(guid.size() * 1111));
    });
    PresenceConfig config = Config();
    config.clock = &clock;
    PresenceClient& c = Make(config);
    LogIn();
    EXPECT_TRUE(c.Start());
    return c;
  }
  std::vector<std::string> Bodies() {
    std::vector<std::string> bodies;
    for (const auto& call : service.Calls("iamtalking.asp")) bodies.push_back(call.body);
    return bodies;
  }
};

TEST(Presence, CallReportsStateEveryRowAndKeepEachCallsSessionNumber) {
  ReportingFixture f;
  PresenceClient& client = f.Start();
  using Sent = RecordingObserver::Sent;

  // One call (answered "+OK 1111"): the first report gets the number, later
  // ones repeat it; the minutes follow the clock at sending time.
  client.PostCallReport(Report(1, "a", 5000, {{"bob", 59999, 0, 0}}, false, "ANN"));
  EXPECT_EQ(f.observer.ReportsSent(1), (Sent{{1, 1111}}));
  f.clock.Advance(1);
  client.PostCallReport(
      Report(1, "a", 5000, {{"bob", 59999, 300, 2}, {"cy", 12 * 60000, 7, 3}}, true));
  EXPECT_EQ(f.observer.ReportsSent(1), (Sent{{1, 1111}}));
  client.PostCallReport(
      Report(1, "a", 5001, {{"bob", 60000, 300, 2}, {"cy", 0, 0, 0}, {"dee", 119999, 1, 1}}));
  EXPECT_EQ(f.observer.ReportsSent(1), (Sent{{1, 1111}}));
  // A new call starts without a number and gets its own ("+OK 2222").
  client.PostCallReport(Report(2, "bb", 5001, {{"cy", 0, 0, 0}}));
  client.PostTimerMessage(WM_TIMER_TICK, 0, 0);  // keeps the two reports apart
  client.PostCallReport(Report(2, "bb", 5001, {{"cy", 0, 0, 0}}));
  EXPECT_EQ(f.observer.ReportsSent(2), (Sent{{2, 2222}, {2, 2222}}));

  // Each body is one literal split over lines, not two entries.
  // NOLINTBEGIN(bugprone-suspicious-missing-comma)
  const std::vector<std::string> expected = {
      "User=ann&RemUser=bob&Minutes=0&AvgDelay=1&SessionID=0&Version=5&IsRecorded=0"
      "&VoiceConferenceGUID=a",
      "User=ann&RemUser=bob&Minutes=1&AvgDelay=150&RemUser=cy&Minutes=12&AvgDelay=2"
      "&SessionID=1111&Version=5&IsRecorded=1&VoiceConferenceGUID=a",
      "User=ann&RemUser=bob&Minutes=1&AvgDelay=150&RemUser=cy&Minutes=0&AvgDelay=1&RemUser=dee"
      "&Minutes=1&AvgDelay=1&SessionID=1111&Version=5&IsRecorded=0&VoiceConferenceGUID=a",
      "User=ann&RemUser=cy&Minutes=0&AvgDelay=1&SessionID=0&Version=5&IsRecorded=0"
      "&VoiceConferenceGUID=bb",
      "User=ann&RemUser=cy&Minutes=0&AvgDelay=1&SessionID=2222&Version=5&IsRecorded=0"
      "&VoiceConferenceGUID=bb",
  };
  // NOLINTEND(bugprone-suspicious-missing-comma)
  EXPECT_EQ(f.Bodies(), expected);
}

TEST(Presence, OldCallsLateAnswerIsNotTakenForTheNewCall) {
  ReportingFixture f;
  PresenceClient& client = f.Start();
  using Sent = RecordingObserver::Sent;
  client.PostCallReport(Report(3, "late", 5000, {{"bob", 0, 0, 0}}));
  ASSERT_TRUE(test::WaitFor([&] { return f.Bodies().size() == 1; }));
  // The next call is reported while the old call's answer is on its way.
  client.PostCallReport(Report(4, "dd", 5000, {{"cy", 0, 0, 0}}));
  {
    std::lock_guard lock(f.mutex);
    f.released = true;
  }
  f.cv.notify_all();
  EXPECT_EQ(f.observer.ReportsSent(2), (Sent{{3, 0}, {4, 2222}}));
  // A late report of the old call (its last peer left) still goes out,
  // without the new call's number, and changes nothing for the new call.
  client.PostCallReport(Report(3, "late", 5000, {{"bob", 0, 0, 0}}));
  client.PostTimerMessage(WM_TIMER_TICK, 0, 0);
  client.PostCallReport(Report(4, "dd", 5000, {{"cy", 0, 0, 0}}));
  EXPECT_EQ(f.observer.ReportsSent(2), (Sent{{3, 0}, {4, 2222}}));
  const auto bodies = f.Bodies();
  ASSERT_EQ(bodies.size(), 4u);
  EXPECT_NE(bodies[1].find("&SessionID=0&"), std::string::npos);
  EXPECT_NE(bodies[2].find("&SessionID=0&"), std::string::npos);
  EXPECT_NE(bodies[3].find("&SessionID=2222&"), std::string::npos);
}

TEST(Presence, CallReportsGoOnlyForTheLoggedInUserAndOnlyTheLastOfARun) {
  PresenceFixture f;
  std::atomic<int> markers{0};
  PresenceConfig config = f.Config();
  constexpr uint32_t kMarker = WM_CALL_REPORT + 50;
  config.otherTimerMessage = [&](const ThreadMessage& m, bool) {
    if (m.message == kMarker) ++markers;
  };
  PresenceClient& client = f.Make(config);
  const auto handled = [&] {  // everything posted so far was handled
    const int target = markers.load() + 1;
    client.PostTimerMessage(kMarker, 0, 0);
    return test::WaitFor([&] { return markers.load() == target; });
  };
  f.LogIn();
  // Queued back to back before the thread runs: only the last is sent, the
  // others are freed.
  for (const char* guid : {"x", "y", "z"}) client.PostCallReport(Report(1, guid, 0, {}));
  ASSERT_TRUE(client.Start());
  ASSERT_TRUE(handled());
  ASSERT_EQ(f.service.Calls("iamtalking.asp").size(), 1u);
  EXPECT_EQ(test::FormValue(f.service.Calls("iamtalking.asp")[0].form, "VoiceConferenceGUID"), "z");

  client.PostCallReport(Report(1, "x", 0, {}, false, "bo"));  // made for another login
  ASSERT_TRUE(handled());
  ASSERT_TRUE(client.Logoff(false));
  client.PostCallReport(Report(1, "x", 0, {}));
  ASSERT_TRUE(handled());
  EXPECT_EQ(f.service.Calls("iamtalking.asp").size(), 1u);
  EXPECT_EQ(f.observer.ReportsSent(0).size(), 1u);

  // Reports the thread may not get to are freed by Stop and at the end.
  f.LogIn();
  client.PostCallReport(Report(1, "x", 0, {}));
  client.Stop();
  client.PostCallReport(Report(1, "y", 0, {}));
  for (const auto& call : f.service.Calls("iamtalking.asp")) {
    EXPECT_NE(test::FormValue(call.form, "VoiceConferenceGUID"), "y");
  }
}

}  // namespace
}  // namespace dialvo
