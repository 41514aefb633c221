// The service under attack: guessing, floods and abuse of its commands, each
// driven with hand-made requests (any source address) or over loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <latch>
#include <thread>

#include "server/Accounts.h"
#include "server/LoginThrottle.h"
#include "server/WorkPool.h"
#include "tests/server/Harness.h"

namespace dialvo::server::test {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

uint32_t Source(int n) { return 0x0A000000u + static_cast<uint32_t>(n); }  // 10.0.0.n

// A raw TCP connection from a chosen loopback address, for requests no
// well-behaved client would send.
class Raw {
 public:
  Raw(uint16_t port, uint32_t from = 0x7F000001) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(0x7F000001);
    connected_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                 ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  }
  ~Raw() { ::close(fd_); }
  Raw(const Raw&) = delete;
  Raw& operator=(const Raw&) = delete;
  bool Send(const std::string& data) {
    return connected_ &&
           ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }
  // What arrives within waitMs, until the server closes or nothing more comes.
  std::string Receive(int waitMs) {
    std::string got;
    char buffer[4096];
    pollfd fd{fd_, POLLIN, 0};
    while (::poll(&fd, 1, waitMs) == 1) {
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }
  bool Closed() const { return closed_; }

 private:
  int fd_;
  bool connected_ = false;
  bool closed_ = false;
};

std::string PostHead(const std::string& path, size_t length) {
  return "POST " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

// The harness's store with FindUser failing on demand, as in a database outage.
class FlakyStore final : public Store {
 public:
  explicit FlakyStore(Store& inner) : inner_(inner) {}
  std::atomic<bool> failing{false};
  StoreStatus AddUser(std::string_view name, std::string_view passwordHash,
                      int64_t nowMs) override {
    return inner_.AddUser(name, passwordHash, nowMs);
  }
  StoreStatus DeleteUser(std::string_view name) override { return inner_.DeleteUser(name); }
  StoreStatus FindUser(std::string_view name, UserRecord& out) override {
    return failing ? StoreStatus::kFailed : inner_.FindUser(name, out);
  }
  StoreStatus SetPasswordHash(int64_t userId, std::string_view passwordHash) override {
    return inner_.SetPasswordHash(userId, passwordHash);
  }
  StoreStatus ListUsers(std::vector<std::string>& names) override {
    return inner_.ListUsers(names);
  }
  StoreStatus SearchUsers(std::string_view fragment, size_t limit,
                          std::vector<std::string>& names) override {
    return inner_.SearchUsers(fragment, limit, names);
  }
  StoreStatus GetBuddyList(int64_t userId, std::vector<std::string>& names) override {
    return inner_.GetBuddyList(userId, names);
  }
  StoreStatus SetBuddyList(int64_t userId, const std::vector<std::string>& names) override {
    return inner_.SetBuddyList(userId, names);
  }
  StoreStatus SaveLogin(const LoginRecord& login) override { return inner_.SaveLogin(login); }
  StoreStatus TouchLogin(int64_t userId, std::string_view instanceGuid,
                         int64_t lastSeenMs) override {
    return inner_.TouchLogin(userId, instanceGuid, lastSeenMs);
  }
  StoreStatus DeleteLogin(int64_t userId, std::string_view instanceGuid) override {
    return inner_.DeleteLogin(userId, instanceGuid);
  }
  StoreStatus LoadLogins(int64_t seenSinceMs, std::vector<LoginRecord>& logins) override {
    return inner_.LoadLogins(seenSinceMs, logins);
  }
  StoreStatus DeleteLoginsSeenBefore(int64_t ms) override {
    return inner_.DeleteLoginsSeenBefore(ms);
  }
  StoreStatus ReportCall(std::string_view conferenceGuid, int64_t reporterId,
                         const std::vector<CallParticipant>& participants, bool recorded,
                         int64_t nowMs, int64_t& sessionId) override {
    return inner_.ReportCall(conferenceGuid, reporterId, participants, recorded, nowMs, sessionId);
  }
  StoreStatus RecentCalls(int64_t reporterId, size_t limit,
                          std::vector<CallSummary>& calls) override {
    return inner_.RecentCalls(reporterId, limit, calls);
  }
  StoreStatus AddFeedback(int64_t userId, std::string_view text, int64_t nowMs) override {
    return inner_.AddFeedback(userId, text, nowMs);
  }
  StoreStatus Secret(std::string_view name, std::string& value) override {
    return inner_.Secret(name, value);
  }

 private:
  Store& inner_;
};

class Attack : public ::testing::Test {
 protected:
  void SetUp() override {
    h.AddUser("bob", "secret-b");
    h.AddUser("amy", "secret-a");
  }
  // A command as if sent from `source`, answered on this thread.
  std::string From(uint32_t source, const std::string& script, const std::string& body) {
    HttpRequest request;
    request.method = "POST";
    request.path = "/dialvo/" + script;
    request.body = body;
    request.sourceIp = source;
    return h.GetService().Handle(request).body;
  }
  std::string Login(uint32_t source, const std::string& user, const std::string& password) {
    return From(source, "logmein.asp", Harness::LoginBody(user, password, kGuidA));
  }
  uint64_t Argon() { return h.Passwords().ArgonRuns(); }
  Harness h;
};

constexpr const char* kAccepted = "<errorcode>0</errorcode>";
constexpr const char* kBad = "Invalid user name or password.";
constexpr const char* kThrottled = "Too many failed logins. Please try again in ";

TEST_F(Attack, GuessesAreThrottledPerAccountBeforeAnyHashing) {
  // Bob is logged in from 10.0.0.1; guesses come from many other addresses.
  ASSERT_TRUE(Contains(Login(Source(1), "bob", "secret-b"), kAccepted));
  for (int i = 0; i < 5; ++i) {
    const uint64_t before = Argon();
    EXPECT_TRUE(Contains(Login(Source(100 + i), "bob", "guess"), kBad));
    EXPECT_EQ(Argon(), before + 1);
  }
  // The sixth guess is refused without hashing, in the login answer form,
  // even with the right password.
  const uint64_t before = Argon();
  std::string answer = Login(Source(200), "bob", "secret-b");
  EXPECT_TRUE(Contains(answer, "<errorcode>1</errorcode>")) << answer;
  EXPECT_TRUE(Contains(answer, std::string(kThrottled) + "1 seconds.")) << answer;
  EXPECT_TRUE(
      Contains(From(Source(201), "getuserlist.asp", "User=bob&Pass=x&buddy=amy"), kThrottled));
  EXPECT_EQ(Argon(), before);
  // Bob's own program, from the address of its login, keeps working.
  EXPECT_EQ(From(Source(1), "iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidA)), "+");
  // Other accounts are not affected.
  EXPECT_TRUE(Contains(Login(Source(202), "amy", "secret-a"), kAccepted));

  // The wait doubles with each further failure.
  h.Advance(1000);
  EXPECT_TRUE(Contains(Login(Source(203), "bob", "guess"), kBad));
  EXPECT_TRUE(Contains(Login(Source(204), "bob", "guess"), "again in 2 seconds."));
  h.Advance(2000);
  EXPECT_TRUE(Contains(Login(Source(205), "bob", "guess"), kBad));
  EXPECT_TRUE(Contains(Login(Source(206), "bob", "guess"), "again in 4 seconds."));
  h.Advance(4000);
  // A good login clears the account's count.
  EXPECT_TRUE(Contains(Login(Source(207), "bob", "secret-b"), kAccepted));
  EXPECT_TRUE(Contains(Login(Source(208), "bob", "guess"), kBad));
  EXPECT_TRUE(Contains(Login(Source(209), "bob", "secret-b"), kAccepted));
}

TEST_F(Attack, OneSourceGuessingManyNamesIsThrottledToo) {
  const uint32_t attacker = Source(66);
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(Contains(Login(attacker, "user" + std::to_string(i), "guess"), kBad));
  }
  const uint64_t before = Argon();
  EXPECT_TRUE(Contains(Login(attacker, "amy", "secret-a"), kThrottled));
  EXPECT_TRUE(From(attacker, "iamup.asp", Harness::LoginBody("amy", "secret-a", kGuidA))
                  .starts_with(std::string("#") + kThrottled));
  EXPECT_EQ(Argon(), before);
  EXPECT_TRUE(Contains(Login(Source(67), "amy", "secret-a"), kAccepted));
  h.Advance(1000);
  EXPECT_TRUE(Contains(Login(attacker, "amy", "secret-a"), kAccepted));
}

TEST_F(Attack, SettingTheSystemClockEndsNoLoginAndBlocksNoSource) {
  EXPECT_TRUE(Contains(Login(Source(1), "bob", "secret-b"), kAccepted));
  const std::string keepalive = Harness::LoginBody("bob", "secret-b", kGuidA);
  // A jump forward by a day: the login lives on, and what is stored and
  // shown follows the wall clock.
  h.SetWallClockBy(24 * 3600 * 1000);
  EXPECT_EQ(From(Source(1), "iamup.asp", keepalive), "+");
  EXPECT_TRUE(Contains(From(Source(2), "getuserlist.asp", "user=amy&Pass=secret-a&buddy=bob"),
                       "<userid>bob</userid>"));
  h.Advance(15000);  // the next keep-alive stores the new wall time
  EXPECT_EQ(From(Source(1), "iamup.asp", keepalive), "+");
  h.Stop();
  h.Start();  // the stored login is read back in wall time
  EXPECT_EQ(From(Source(1), "iamup.asp", keepalive), "+");

  // Back by two days: a source that waits for its throttle waits only the
  // real time, not the days the clock went back.
  for (int i = 0; i < 5; ++i) Login(Source(9), "amy", "guess");
  EXPECT_TRUE(Contains(Login(Source(9), "amy", "secret-a"), kThrottled));
  h.SetWallClockBy(-2 * 24 * 3600 * 1000);
  h.Advance(1000);
  EXPECT_TRUE(Contains(Login(Source(9), "amy", "secret-a"), kAccepted));
  EXPECT_EQ(From(Source(1), "iamup.asp", keepalive), "+");
  // Three missed keep-alives still end a login.
  h.Advance(3 * 45000 + 1);
  EXPECT_EQ(From(Source(1), "iamup.asp", keepalive), "-");
}

TEST_F(Attack, TheChangePasswordFormIsNoWayAroundTheThrottle) {
  const auto change = [&](const std::string& user, const std::string& old) {
    return h
        .PostForm("app_changepassword.aspx",
                  "name=" + user + "&old=" + old + "&new=fresh-pw&new2=fresh-pw")
        .body;
  };
  h.Passwords().VerifyNobody("warm-up");  // makes its stand-in hash once
  const uint64_t before = Argon();
  EXPECT_TRUE(Contains(change("nobody", "guess"), "the old password is wrong"));
  EXPECT_EQ(Argon(), before + 1);  // an unknown name costs a hash too
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Contains(change("bob", "guess"), "password is wrong"));
  // The form's guesses count against the account: the form and the login
  // both wait now, even with the right password, and nothing is hashed.
  const uint64_t throttled = Argon();
  EXPECT_TRUE(Contains(change("bob", "secret-b"), kThrottled));
  EXPECT_TRUE(Contains(Login(Source(3), "bob", "secret-b"), kThrottled));
  EXPECT_EQ(Argon(), throttled);
  h.Advance(1000);
  EXPECT_TRUE(Contains(change("bob", "secret-b"), "The password of bob was changed."));
}

TEST_F(Attack, UnknownNamesCostWhatAWrongPasswordCosts) {
  h.Passwords().VerifyNobody("warm-up");  // makes its stand-in hash once
  uint64_t before = Argon();
  const std::string wrong = Login(Source(1), "bob", "guess");
  EXPECT_EQ(Argon() - before, 1u);
  before = Argon();
  const std::string unknown = Login(Source(2), "nobody", "guess");
  EXPECT_EQ(Argon() - before, 1u);
  EXPECT_EQ(wrong, unknown);
  // A remembered good password needs no Argon2id at all.
  Login(Source(3), "amy", "secret-a");
  before = Argon();
  EXPECT_TRUE(Contains(Login(Source(3), "amy", "secret-a"), kAccepted));
  EXPECT_EQ(Argon(), before);
}

TEST(LoginThrottleTable, ForgetsQuietKeysAndStaysWithinItsCap) {
  LoginThrottle throttle(
      {.freeFailures = 1, .baseMs = 10, .maxMs = 40, .forgetMs = 100, .capacity = 3});
  for (int i = 0; i < 5; ++i) throttle.Failed("a", i);
  EXPECT_EQ(throttle.WaitMs("a", 4), 40);  // capped
  throttle.Failed("b", 0);
  throttle.Failed("c", 0);
  throttle.Failed("d", 0);  // over the cap: not counted
  EXPECT_EQ(throttle.Size(), 3u);
  throttle.Failed("d", 200);  // the quiet ones make room
  EXPECT_EQ(throttle.Size(), 1u);
  EXPECT_EQ(throttle.WaitMs("d", 200), 10);
  throttle.Sweep(400);
  EXPECT_EQ(throttle.Size(), 0u);
}

TEST(RateLimiterTable, StaysWithinItsCapEvenWhenEverySourceIsWaiting) {
  RateLimiter limiter(1, 1000, 2);
  EXPECT_TRUE(limiter.Allow(1, 0));
  EXPECT_TRUE(limiter.Allow(2, 0));
  EXPECT_FALSE(limiter.Allow(3, 0));  // full of sources still waiting
  EXPECT_FALSE(limiter.Allow(1, 0));
  EXPECT_TRUE(limiter.Allow(3, 1000));  // their waits are over: room again
}

TEST(HashingPool, AFullQueueRefusesAtOnceAndQueuedWorkStillRuns) {
  std::atomic<int> ran{0};
  std::latch release(1);
  {
    WorkPool pool(1, 2);
    std::latch started(1);
    ASSERT_TRUE(pool.Submit([&] {
      started.count_down();
      release.wait();
      ++ran;
    }));
    started.wait();
    EXPECT_TRUE(pool.Submit([&] { ++ran; }));
    EXPECT_TRUE(pool.Submit([&] { ++ran; }));
    EXPECT_FALSE(pool.Submit([&] { ++ran; }));
    release.count_down();
  }
  EXPECT_EQ(ran, 3);
}

TEST(HashingPool, ALoginWaitingForItsHashHoldsNoHttpThread) {
  // Guesses that each need Argon2id wait on the hashing thread; keep-alives
  // answered from memory go on meanwhile, and every request is answered.
  ServiceConfig config;
  config.hashQueue = 64;
  config.sourceThrottle.freeFailures = 1000;  // every guess here comes from 127.0.0.1
  config.accountThrottle.freeFailures = 1000;
  Harness h(config);
  h.AddUser("bob", "secret-b");
  ASSERT_TRUE(
      Contains(h.Command("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidA)), kAccepted));
  std::vector<std::thread> guessers;
  guessers.reserve(4);
  std::atomic<int> answered{0};
  for (int i = 0; i < 4; ++i) {
    guessers.emplace_back([&] {
      for (int k = 0; k < 5; ++k) {
        if (Post(h.Port(), "/dialvo/logmein.asp", Harness::LoginBody("bob", "guess", kGuidB))
                .status == 200) {
          ++answered;
        }
      }
    });
  }
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(h.Command("iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidA)), "+");
  }
  for (auto& guesser : guessers) guesser.join();
  EXPECT_EQ(answered, 20);
}

TEST(SlowClients, ATrickledRequestIsCutAtItsDeadlineAndOthersGoOn) {
  HttpServerOptions http = Harness::TestHttp();
  http.requestDeadlineMs = 300;
  http.deadlineCheckMs = 20;
  http.perSourceConnectionLimit = 3;
  Harness h({}, http);
  h.AddUser("bob", "secret-b");
  Raw slow(h.Port());
  ASSERT_TRUE(slow.Send(PostHead("/dialvo/iamup.asp", 100)));
  const auto start = std::chrono::steady_clock::now();
  while (!slow.Closed() && std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
    slow.Send("x");  // a byte now and then keeps an idle time-out away
    slow.Receive(50);
  }
  EXPECT_TRUE(slow.Closed());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  // Three connections from one address are all it may hold; a fourth is
  // closed unanswered while other addresses are served.
  Raw a(h.Port(), 0x7F000005);
  Raw b(h.Port(), 0x7F000005);
  Raw c(h.Port(), 0x7F000005);
  Raw d(h.Port(), 0x7F000005);
  ASSERT_TRUE(a.Send(PostHead("/dialvo/iamup.asp", 10)));
  d.Send(PostHead("/dialvo/iamup.asp", 0));
  EXPECT_EQ(d.Receive(500), "");
  EXPECT_TRUE(d.Closed());
  EXPECT_EQ(h.Command("iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidA)), "-");
}

TEST(SlowClients, BodiesBeyondTheBudgetAreRefusedUnread) {
  HttpServerOptions http = Harness::TestHttp();
  http.bodyBudget = 1000;
  Harness h({}, http);
  h.AddUser("bob", "secret-b");
  Raw holding(h.Port());
  ASSERT_TRUE(holding.Send(PostHead("/dialvo/syncblist.asp", 900) + "User=bob"));
  holding.Receive(50);
  // 900 of 1000 bytes are spoken for: a 200-byte body is refused in the
  // command's own answer form; a small one still fits.
  const std::string login = Harness::LoginBody("bob", "secret-b", kGuidA);
  const std::string padded = login + "&pad=" + std::string(200 - login.size() - 5, 'p');
  ASSERT_EQ(padded.size(), 200u);
  const std::string refused = h.Command("logmein.asp", padded);
  EXPECT_TRUE(Contains(refused, "<errorcode>1</errorcode>")) << refused;
  EXPECT_TRUE(Contains(refused, "The service is busy.")) << refused;
  EXPECT_TRUE(h.Command("iamup.asp", "User=bob&Pass=secret-b").starts_with("-"));
  // Once that body is in, its share comes back.
  const std::string rest = "&Pass=secret-b&buddy=amy&x=";
  ASSERT_TRUE(holding.Send(rest + std::string(900 - 8 - rest.size(), 'y')));
  EXPECT_TRUE(Contains(holding.Receive(500), "\r\n\r\n+"));
  EXPECT_TRUE(Contains(h.Command("logmein.asp", padded), "<errorcode>0</errorcode>"));
}

TEST_F(Attack, CallReportsAreBoundToTheLoginAndCannotFillTheDisk) {
  const std::string answer = Login(Source(1), "bob", "secret-b");
  const size_t at = answer.find("<report_key>");
  ASSERT_NE(at, std::string::npos) << answer;
  const std::string key = answer.substr(at + 12, answer.find('<', at + 12) - at - 12);
  EXPECT_EQ(key.size(), 32u);
  const auto report = [&](uint32_t source, const std::string& conference, const std::string& k) {
    return From(source, "iamtalking.asp",
                "User=bob&RemUser=amy&Minutes=1&AvgDelay=9&SessionID=0&Version=5&IsRecorded=0"
                "&VoiceConferenceGUID=" +
                    conference + (k.empty() ? "" : "&ReportKey=" + k));
  };
  // With the key, from any address (the program moved); without it, only
  // from the login's address, as older programs send; a wrong key never.
  EXPECT_TRUE(report(Source(2), "c-1", key).starts_with("+"));
  EXPECT_TRUE(report(Source(1), "c-2", "").starts_with("+"));
  EXPECT_EQ(report(Source(2), "c-3", ""), "-You are not logged in.");
  EXPECT_EQ(report(Source(1), "c-3", std::string(32, '0')),
            "-The call report does not belong to your login.");

  // A flood: the burst, then one report per interval; the database stays small.
  auto size = [&] {
    std::error_code ignored;
    return std::filesystem::file_size(h.Dir() + "/service.db", ignored) +
           std::filesystem::file_size(h.Dir() + "/service.db-wal", ignored);
  };
  const auto before = size();
  int accepted = 0;
  for (int i = 0; i < 2000; ++i) {
    if (report(Source(1), "flood-" + std::to_string(i), key).starts_with("+")) ++accepted;
    if (i % 100 == 99) h.Advance(5000);
  }
  EXPECT_EQ(accepted, 20 - 2 + 19);
  EXPECT_LT(size() - before, 1'000'000u);
  // However many calls come in over time, the account keeps the newest.
  UserRecord bob;
  ASSERT_EQ(h.GetStore().FindUser("bob", bob), StoreStatus::kOk);
  for (int i = 0; i < 250; ++i) {
    int64_t session = 0;
    ASSERT_EQ(h.GetStore().ReportCall("old-" + std::to_string(i), bob.id, {{"amy", 1, 2}}, false, i,
                                      session),
              StoreStatus::kOk);
  }
  std::vector<CallSummary> calls;
  ASSERT_EQ(h.GetStore().RecentCalls(bob.id, 1000, calls), StoreStatus::kOk);
  EXPECT_EQ(calls.size(), kMaxReportsPerUser);
}

TEST_F(Attack, LoggingInWithSomeoneElsesInstanceLeavesTheirLoginAlone) {
  ASSERT_TRUE(Contains(Login(Source(1), "bob", "secret-b"), kAccepted));
  // Amy logs in to her own account with bob's InstanceGUID.
  ASSERT_TRUE(Contains(Login(Source(2), "amy", "secret-a"), kAccepted));
  EXPECT_EQ(From(Source(1), "iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidA)), "+");
  EXPECT_TRUE(Contains(From(Source(2), "getuserlist.asp", "User=amy&Pass=secret-a&buddy=bob"),
                       "<userid>bob</userid>"));
}

TEST_F(Attack, AnInstanceGuidOpensTheAccountPageOnlyFromTheLoginsAddress) {
  ASSERT_TRUE(Contains(Login(Source(1), "bob", "secret-b"), kAccepted));
  const auto page = [&](uint32_t source) {
    HttpRequest request;
    request.method = "GET";
    request.path = "/app_links/app_myaccount.aspx";
    request.query = {{"InstanceGUID", kGuidA}};
    request.sourceIp = source;
    return h.GetService().Handle(request);
  };
  EXPECT_EQ(page(Source(2)).status, 200);
  EXPECT_TRUE(Contains(page(Source(2)).body, "You are not logged in"));
  EXPECT_EQ(page(Source(1)).status, 303);
  // The session ends with the login.
  const HttpResponse moved = page(Source(1));
  ASSERT_EQ(moved.headers.size(), 2u);
  const std::string cookie = moved.headers[1].second.substr(0, moved.headers[1].second.find(';'));
  HttpRequest again;
  again.method = "GET";
  again.path = "/app_links/app_myaccount.aspx";
  again.cookie = cookie;
  EXPECT_TRUE(Contains(h.GetService().Handle(again).body, "<td>bob</td>"));
  From(Source(1), "logmeoff.asp", Harness::LoginBody("bob", "secret-b", kGuidA));
  EXPECT_TRUE(Contains(h.GetService().Handle(again).body, "You are not logged in"));
}

TEST_F(Attack, AKeepaliveDuringAStoreOutageKeepsTheLoginAlive) {
  FlakyStore store(h.GetStore());
  int64_t now = 0;
  Service service(
      store, h.Passwords(), [&now] { return now; }, ServiceConfig{});
  std::string error;
  ASSERT_TRUE(service.Start(error)) << error;
  const auto send = [&](const std::string& script, const std::string& body) {
    HttpRequest request;
    request.method = "POST";
    request.path = "/dialvo/" + script;
    request.body = body;
    request.sourceIp = Source(1);
    return service.Handle(request).body;
  };
  ASSERT_TRUE(
      Contains(send("logmein.asp", Harness::LoginBody("bob", "secret-b", kGuidA)), kAccepted));
  store.failing = true;
  now = 100000;
  EXPECT_EQ(send("iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidA)), "+");
  EXPECT_EQ(send("iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidB)), "-");
  now = 230000;  // 135 s after the login would have expired it
  EXPECT_EQ(send("iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidA)), "+");
  store.failing = false;
  EXPECT_TRUE(Contains(send("getuserlist.asp", "User=amy&Pass=secret-a&buddy=bob"),
                       "<userid>bob</userid>"));
}

TEST_F(Attack, AHashWithOldParametersIsReplacedAtTheNextGoodLogin) {
  PasswordChecker older({HashCost::Minimal().opsLimit + 1, HashCost::Minimal().memLimit}, 1);
  std::string hash;
  ASSERT_TRUE(older.Hash("secret-c", hash));
  ASSERT_EQ(h.GetStore().AddUser("carol", hash, 0), StoreStatus::kOk);
  ASSERT_TRUE(h.Passwords().NeedsRehash(hash));
  EXPECT_TRUE(Contains(Login(Source(1), "carol", "guess"), kBad));
  UserRecord carol;
  ASSERT_EQ(h.GetStore().FindUser("carol", carol), StoreStatus::kOk);
  EXPECT_EQ(carol.passwordHash, hash);  // a wrong password changes nothing
  EXPECT_TRUE(Contains(Login(Source(1), "carol", "secret-c"), kAccepted));
  h.Advance(5000);  // past the store's memory of the account
  ASSERT_EQ(h.GetStore().FindUser("carol", carol), StoreStatus::kOk);
  EXPECT_NE(carol.passwordHash, hash);
  EXPECT_FALSE(h.Passwords().NeedsRehash(carol.passwordHash));
  EXPECT_TRUE(Contains(Login(Source(2), "carol", "secret-c"), kAccepted));
}

TEST(NewNames, AreLettersOfOneAlphabetDigitsAndAFewSeparators) {
  for (const char* good :
       {"bob", "Bob.Smith_2-x", "Zoë", "Иван", "Γιώργος", "日本語かな", "김민수", "7"}) {
    EXPECT_EQ(CheckNewName(good), "") << good;
  }
  for (const char* bad : {"p\xD0\xB0ypal",  // a Cyrillic "a" among Latin letters
                          "bob\xE2\x80\xAE", "bob\xE2\x80\x8B", "a b", "bob!", "x\xC3\x97y",
                          "\xF0\x9F\x98\x80", "Иванxyz", ""}) {
    EXPECT_NE(CheckNewName(bad), "") << bad;
  }
}

TEST_F(Attack, NamesMadeUnderTheOlderRuleStillLogIn) {
  // Made before the rule (the store takes any name); the login still works.
  std::string hash;
  ASSERT_TRUE(h.Passwords().Hash("secret-o", hash));
  ASSERT_EQ(h.GetStore().AddUser("old\xE2\x80\xAEname", hash, 0), StoreStatus::kOk);
  EXPECT_TRUE(Contains(Login(Source(1), "old%E2%80%AEname", "secret-o"), kAccepted));
  EXPECT_FALSE(CreateAccount(h.GetStore(), h.Passwords(), "new\xE2\x80\xAEname", "secret-n", 0).ok);
}

TEST(Proxy, ForwardedForIsReadOnlyFromTheTrustedProxy) {
  EXPECT_EQ(ForwardedFor("62.1.2.3"), 0x3E010203u);
  EXPECT_EQ(ForwardedFor("9.9.9.9, 62.1.2.3 "), 0x3E010203u);  // the proxy adds the last one
  EXPECT_EQ(ForwardedFor("62.1.2.3, unknown"), 0u);
  EXPECT_EQ(ForwardedFor(""), 0u);

  const auto published = [](Harness& h, const std::string& forwardedFor) {
    Raw client(h.Port());
    const std::string body = Harness::LoginBody("bob", "secret-b", kGuidA);
    client.Send("POST /dialvo/logmein.asp HTTP/1.1\r\nHost: x\r\nX-Forwarded-For: " + forwardedFor +
                "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    client.Receive(300);
    const std::string list = h.Command("getuserlist.asp", "User=bob&Pass=secret-b&buddy=bob");
    const size_t at = list.find("<ipaddress>");
    return at == std::string::npos ? std::string()
                                   : list.substr(at + 11, list.find('<', at + 11) - at - 11);
  };
  HttpServerOptions http = Harness::TestHttp();
  http.trustedProxy = 0x7F000001;
  Harness proxied({}, http);
  proxied.AddUser("bob", "secret-b");
  EXPECT_EQ(published(proxied, "1.1.1.1, 62.1.2.3"), "62.1.2.3");
  Harness direct;
  direct.AddUser("bob", "secret-b");
  EXPECT_EQ(published(direct, "62.1.2.3"), "127.0.0.1");
}

TEST_F(Attack, FwtestSendsOnlyItsOwnTextAndOnlyToPublicOrLikeAddresses) {
  UdpSocket listener;
  ASSERT_TRUE(listener.Open());
  ASSERT_TRUE(listener.Bind(SockAddr::Loopback(0)));
  const std::string body =
      "Version=5&Message=%FF%00EVIL&IPType=1&Port=" + std::to_string(listener.LocalName()->port);
  // Listening on loopback, the service may test loopback: always with the
  // fixed text.
  EXPECT_TRUE(Contains(From(0x7F000001, "fwtest.asp", body), "<error_code>0<"));
  std::vector<uint8_t> buffer(1024);
  const auto got = listener.ReceiveFrom(buffer, 2000);
  ASSERT_EQ(got.status, UdpSocket::Status::kOk);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<long>(got.size)),
            "Congratulations");
  // Never private, link-local, multicast or other loopback-unlike classes.
  for (uint32_t source : {0x0A000001u, 0xC0A80101u, 0xAC100001u, 0xA9FE0001u, 0xE0000001u,
                          0xFFFFFFFFu, 0x00000001u}) {
    const std::string answer = From(source, "fwtest.asp", body);
    EXPECT_TRUE(Contains(answer, "does not send test packets to your address")) << answer;
  }
  ServiceConfig proxied;
  proxied.behindProxy = true;
  Harness behind(proxied);
  HttpRequest request;
  request.method = "POST";
  request.path = "/dialvo/fwtest.asp";
  request.body = body;
  request.sourceIp = 0x7F000001;
  EXPECT_TRUE(Contains(behind.GetService().Handle(request).body, "does not send test packets"));
  // However many datagrams the configuration asks for, three go out.
  ServiceConfig greedy;
  greedy.fwtestDatagrams = 50;
  Harness many(greedy);
  while (listener.ReceiveFrom(buffer, 0).status == UdpSocket::Status::kOk) {
  }
  EXPECT_TRUE(Contains(many.GetService().Handle(request).body, "<error_code>0<"));
  int received = 0;
  while (listener.ReceiveFrom(buffer, 0).status == UdpSocket::Status::kOk) ++received;
  EXPECT_EQ(received, 3);
}

}  // namespace
}  // namespace dialvo::server::test
