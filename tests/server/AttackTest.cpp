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
#include "server/Text.h"
#include "server/WorkPool.h"
#include "tests/server/Harness.h"

namespace dialvo::server::test {
namespace {

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

class Attack : public ::testing::Test {
 protected:
  void SetUp() override {
    h.AddUser("bob", "secret-b");
    h.AddUser("amy", "secret-a");
  }
  // From 10.0.0.n.
  std::string From(int n, const std::string& script, const std::string& body) {
    return Ask(h.GetService(), 0x0A000000u + static_cast<uint32_t>(n), script, body);
  }
  std::string Login(int n, const std::string& user, const std::string& password) {
    return From(n, "logmein.asp", Harness::LoginBody(user, password, kGuidA));
  }
  uint64_t Argon() { return h.Passwords().ArgonRuns(); }
  Harness h;
};

constexpr const char* kAccepted = "<errorcode>0</errorcode>";
constexpr const char* kBad = "Invalid user name or password.";
constexpr const char* kThrottled = "Too many failed logins. Please try again in ";

TEST_F(Attack, GuessesAreThrottledPerAccountBeforeAnyHashing) {
  // Bob is logged in from 10.0.0.1; guesses come from many other addresses.
  ASSERT_TRUE(Contains(Login(1, "bob", "secret-b"), kAccepted));
  // A remembered good password needs no Argon2id at all.
  uint64_t before = Argon();
  EXPECT_TRUE(Contains(Login(1, "bob", "secret-b"), kAccepted));
  EXPECT_EQ(Argon(), before);
  // An unknown name costs what a wrong password costs, and reads the same.
  h.Passwords().VerifyNobody("warm-up");  // makes its stand-in hash once
  before = Argon();
  const std::string unknown = Login(99, "nobody", "guess");
  EXPECT_TRUE(Contains(unknown, kBad));
  EXPECT_EQ(Argon(), before + 1);
  for (int i = 0; i < 5; ++i) {
    before = Argon();
    EXPECT_EQ(Login(100 + i, "bob", "guess"), unknown);
    EXPECT_EQ(Argon(), before + 1);
  }
  // The sixth guess is refused without hashing, in the login answer form,
  // even with the right password.
  before = Argon();
  std::string answer = Login(200, "bob", "secret-b");
  EXPECT_TRUE(Contains(answer, "<errorcode>1</errorcode>")) << answer;
  EXPECT_TRUE(Contains(answer, std::string(kThrottled) + "1 seconds.")) << answer;
  EXPECT_TRUE(Contains(From(201, "getuserlist.asp", "User=bob&Pass=x&buddy=amy"), kThrottled));
  EXPECT_EQ(Argon(), before);
  // Other accounts are not affected; amy, logging in with bob's
  // InstanceGUID, leaves his login alone. Bob's own program, from the
  // address of its login, keeps working.
  EXPECT_TRUE(Contains(Login(202, "amy", "secret-a"), kAccepted));
  EXPECT_EQ(From(1, "iamup.asp", kBobLogin), "+");
  EXPECT_TRUE(Contains(From(2, "getuserlist.asp", "User=amy&Pass=secret-a&buddy=bob"),
                       "<userid>bob</userid>"));

  // The wait doubles with each further failure.
  h.Advance(1000);
  EXPECT_TRUE(Contains(Login(203, "bob", "guess"), kBad));
  EXPECT_TRUE(Contains(Login(204, "bob", "guess"), "again in 2 seconds."));
  h.Advance(2000);
  EXPECT_TRUE(Contains(Login(205, "bob", "guess"), kBad));
  EXPECT_TRUE(Contains(Login(206, "bob", "guess"), "again in 4 seconds."));
  h.Advance(4000);
  // A good login clears the account's count.
  EXPECT_TRUE(Contains(Login(207, "bob", "secret-b"), kAccepted));
  EXPECT_TRUE(Contains(Login(208, "bob", "guess"), kBad));
  EXPECT_TRUE(Contains(Login(209, "bob", "secret-b"), kAccepted));
}

TEST_F(Attack, OneSourceIsThrottledAndSettingTheClockEndsNoLoginAndBlocksNoSource) {
  EXPECT_TRUE(Contains(Login(1, "bob", "secret-b"), kAccepted));
  // A jump forward by a day: the login lives on, and what is stored and
  // shown follows the wall clock.
  h.SetWallClockBy(int64_t{24} * 3600 * 1000);
  EXPECT_EQ(From(1, "iamup.asp", kBobLogin), "+");
  EXPECT_TRUE(Contains(From(2, "getuserlist.asp", "user=amy&Pass=secret-a&buddy=bob"),
                       "<userid>bob</userid>"));
  h.Advance(15000);  // the next keep-alive stores the new wall time
  EXPECT_EQ(From(1, "iamup.asp", kBobLogin), "+");
  h.Stop();
  h.Start();  // the stored login is read back in wall time
  EXPECT_EQ(From(1, "iamup.asp", kBobLogin), "+");

  // One source guessing many names waits too: its logins and keep-alives
  // are refused unhashed while other sources go on.
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(Contains(Login(9, "user" + std::to_string(i), "guess"), kBad));
  }
  const uint64_t before = Argon();
  EXPECT_TRUE(Contains(Login(9, "amy", "secret-a"), kThrottled));
  EXPECT_TRUE(From(9, "iamup.asp", Harness::LoginBody("amy", "secret-a", kGuidA))
                  .starts_with(std::string("#") + kThrottled));
  EXPECT_EQ(Argon(), before);
  EXPECT_TRUE(Contains(Login(10, "amy", "secret-a"), kAccepted));
  // Back by two days: it waits only the real time, not the days the clock
  // went back.
  h.SetWallClockBy(int64_t{-2} * 24 * 3600 * 1000);
  h.Advance(1000);
  EXPECT_TRUE(Contains(Login(9, "amy", "secret-a"), kAccepted));
  EXPECT_EQ(From(1, "iamup.asp", kBobLogin), "+");
  // Three missed keep-alives still end a login.
  h.Advance(3 * 45000 + 1);
  EXPECT_EQ(From(1, "iamup.asp", kBobLogin), "-");
}

TEST_F(Attack, TheChangePasswordFormIsNoWayAroundTheThrottle) {
  const auto change = [&](const std::string& user, const std::string& old) {
    return h
        .PostForm("app_changepassword.aspx",
                  "name=" + user + "&old=" + old + "&new=fresh-pw&new2=fresh-pw")
        .body;
  };
  ASSERT_TRUE(Contains(Login(1, "bob", "secret-b"), kAccepted));
  EXPECT_TRUE(
      Contains(Get(h.Port(), "/app_links/app_changepassword.aspx?user=bob").body, "value=\"bob\""));
  h.Passwords().VerifyNobody("warm-up");  // makes its stand-in hash once
  const uint64_t before = Argon();
  EXPECT_TRUE(Contains(change("nobody", "guess"), "The user name or the old password is wrong."));
  EXPECT_EQ(Argon(), before + 1);  // an unknown name costs a hash too
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Contains(change("bob", "guess"), "password is wrong"));
  // The form's guesses count against the account: the form and the login
  // both wait now, even with the right password, and nothing is hashed.
  const uint64_t throttled = Argon();
  EXPECT_TRUE(Contains(change("bob", "secret-b"), kThrottled));
  EXPECT_TRUE(Contains(Login(3, "bob", "secret-b"), kThrottled));
  EXPECT_EQ(Argon(), throttled);
  h.Advance(1000);
  EXPECT_TRUE(Contains(change("bob", "secret-b"), "The password of bob was changed."));
  // Keep-alives with the old password end; the new one logs in.
  EXPECT_TRUE(From(1, "iamup.asp", kBobLogin).starts_with("#"));
  EXPECT_TRUE(Contains(Login(1, "bob", "fresh-pw"), kAccepted));
}

TEST(ThrottleTables, ForgetQuietKeysAndStayWithinTheirCaps) {
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

  // A rate limiter stays within its cap even when every source is waiting.
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
  // (moving between two addresses) and lists, answered from memory, go on
  // meanwhile and stay consistent, and every request is answered.
  ServiceConfig config;
  config.hashQueue = 64;
  config.sourceThrottle.freeFailures = 1000;  // every guess here comes from 127.0.0.1
  config.accountThrottle.freeFailures = 1000;
  HttpServerOptions http = Harness::TestHttp();
  http.perSourceConnectionLimit = 64;  // and every client too
  Harness h(config, http);
  h.AddUser("bob", "secret-b");
  h.AddUser("amy", "secret-a");
  ASSERT_TRUE(Contains(h.Command("logmein.asp", kBobLogin), kAccepted));
  std::atomic<int> answered{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  threads.reserve(8);
  for (int c = 0; c < 4; ++c) {
    threads.emplace_back([&] {
      for (int k = 0; k < 5; ++k) {
        const std::string guess = Harness::LoginBody("bob", "guess", kGuidB);
        if (Post(h.Port(), "/dialvo/logmein.asp", guess).status == 200) ++answered;
      }
    });
    threads.emplace_back([&, c] {
      for (int i = 0; i < 25; ++i) {
        const bool keepalive = (i + c) % 2 == 0;
        const Reply reply = keepalive ? Post(h.Port(), "/dialvo/iamup.asp",
                                             Harness::LoginBody("bob", "secret-b", kGuidA,
                                                                c % 2 ? "LAN" : "", c % 2 ? 0 : 1))
                                      : Post(h.Port(), "/dialvo/getuserlist.asp",
                                             "User=amy&Pass=secret-a&buddy=bob");
        if (keepalive ? reply.body != "+" : !Contains(reply.body, "<userid>bob<")) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(answered, 20);
  EXPECT_EQ(wrong, 0);
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
  EXPECT_EQ(h.Command("iamup.asp", kBobLogin), "-");
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
  const std::string login = kBobLogin;
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
  const std::string key = Between(Login(1, "bob", "secret-b"), "<report_key>", '<');
  EXPECT_EQ(key.size(), 32u);
  ASSERT_TRUE(
      Contains(From(2, "logmein.asp", Harness::LoginBody("amy", "secret-a", kGuidB)), kAccepted));
  h.AddUser("carol", "secret-c");
  const auto report = [&](int source, const std::string& conference, const std::string& k,
                          const std::string& user = "bob") {
    return From(source, "iamtalking.asp",
                "User=" + user +
                    "&RemUser=x&Minutes=3&AvgDelay=120&RemUser=y&Minutes=0&AvgDelay=1"
                    "&SessionID=0&Version=5&IsRecorded=0&VoiceConferenceGUID=" +
                    conference + (k.empty() ? "" : "&ReportKey=" + k));
  };
  // One session number per conference, whoever reports it, from index 4 of
  // the answer on, where the program reads it.
  const std::string first = report(1, "c-1", key);
  ASSERT_TRUE(first.starts_with("+")) << first;
  ASSERT_GE(first.size(), 5u);
  EXPECT_GT(LeadingNumber(first.substr(4)), 0);
  EXPECT_EQ(report(2, "c-1", "", "amy"), first);
  EXPECT_EQ(report(1, "c-1", "", "BOB"), first);
  EXPECT_NE(report(1, "c-2", ""), first);
  EXPECT_TRUE(report(1, "", "").starts_with("-"));
  // With the key, from any address (the program moved); without it, only
  // from the login's address, as older programs send; a wrong key never.
  EXPECT_TRUE(report(2, "c-3", key).starts_with("+"));
  EXPECT_EQ(report(2, "c-4", ""), "-You are not logged in.");
  EXPECT_EQ(report(1, "c-4", std::string(32, '0')),
            "-The call report does not belong to your login.");
  // No password in a call report: only a logged-in user may send one.
  EXPECT_EQ(report(3, "c-1", "", "carol"), "-You are not logged in.");
  EXPECT_EQ(report(3, "c-1", "", "nobody"), "-You are not logged in.");

  // A flood: the burst, then one report per interval; the database stays small.
  auto size = [&] {
    std::error_code ignored;
    return std::filesystem::file_size(h.Dir() + "/service.db", ignored) +
           std::filesystem::file_size(h.Dir() + "/service.db-wal", ignored);
  };
  const auto before = size();
  int accepted = 0;
  for (int i = 0; i < 2000; ++i) {
    if (report(1, "flood-" + std::to_string(i), key).starts_with("+")) ++accepted;
    if (i % 100 == 99) h.Advance(5000);
  }
  EXPECT_EQ(accepted, 20 - 5 + 19);  // the burst, less bob's five reports above
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

TEST_F(Attack, AKeepaliveDuringAStoreOutageKeepsTheLoginAlive) {
  ASSERT_TRUE(Contains(Login(1, "bob", "secret-b"), kAccepted));
  std::vector<LoginRecord> before;
  ASSERT_EQ(h.GetStore().LoadLogins(0, before), StoreStatus::kOk);
  ASSERT_EQ(before.size(), 1u);
  const LoginRecord loggedIn = before[0];
  // The accounts vanish from under the service: none can be read.
  ASSERT_TRUE(RunSql(h.Database(), "ALTER TABLE users RENAME TO users_away"));
  h.Advance(100000);  // past the store's memory of the account
  EXPECT_FALSE(Contains(Login(2, "amy", "secret-a"), kAccepted));
  EXPECT_EQ(From(1, "iamup.asp", kBobLogin), "+");
  EXPECT_EQ(From(1, "iamup.asp", Harness::LoginBody("bob", "secret-b", kGuidB)), "-");
  h.Advance(130000);  // 135 s after the login would have expired it
  EXPECT_EQ(From(1, "iamup.asp", kBobLogin), "+");
  // Once the store is back, the very next keep-alive stores the login again:
  // the ones the store missed do not count as written.
  ASSERT_TRUE(RunSql(h.Database(), "ALTER TABLE users_away RENAME TO users"));
  h.Advance(1000);
  EXPECT_EQ(From(1, "iamup.asp", kBobLogin), "+");
  std::vector<LoginRecord> logins;
  ASSERT_EQ(h.GetStore().LoadLogins(0, logins), StoreStatus::kOk);
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].lastSeenMs - loggedIn.lastSeenMs, 231000);
  EXPECT_TRUE(Contains(From(2, "getuserlist.asp", "User=amy&Pass=secret-a&buddy=bob"),
                       "<userid>bob</userid>"));
  // With only the logins out of reach the same holds.
  ASSERT_TRUE(RunSql(h.Database(), "ALTER TABLE logins RENAME TO logins_away"));
  h.Advance(60000);
  EXPECT_EQ(From(1, "iamup.asp", kBobLogin), "+");
  ASSERT_TRUE(RunSql(h.Database(), "ALTER TABLE logins_away RENAME TO logins"));
  h.Advance(1000);
  EXPECT_EQ(From(1, "iamup.asp", kBobLogin), "+");
  ASSERT_EQ(h.GetStore().LoadLogins(0, logins), StoreStatus::kOk);
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].lastSeenMs - loggedIn.lastSeenMs, 292000);
}

TEST_F(Attack, AccountsOfOlderVersionsLogInAndGetNewHashes) {
  PasswordChecker older({HashCost::Minimal().opsLimit + 1, HashCost::Minimal().memLimit}, 1);
  std::string hash;
  ASSERT_TRUE(older.Hash("secret-c", hash));
  ASSERT_EQ(h.GetStore().AddUser("carol", hash, 0), StoreStatus::kOk);
  ASSERT_TRUE(h.Passwords().NeedsRehash(hash));
  EXPECT_TRUE(Contains(Login(1, "carol", "guess"), kBad));
  UserRecord carol;
  ASSERT_EQ(h.GetStore().FindUser("carol", carol), StoreStatus::kOk);
  EXPECT_EQ(carol.passwordHash, hash);  // a wrong password changes nothing
  EXPECT_TRUE(Contains(Login(1, "carol", "secret-c"), kAccepted));
  h.Advance(5000);  // past the store's memory of the account
  ASSERT_EQ(h.GetStore().FindUser("carol", carol), StoreStatus::kOk);
  EXPECT_NE(carol.passwordHash, hash);
  EXPECT_FALSE(h.Passwords().NeedsRehash(carol.passwordHash));
  EXPECT_TRUE(Contains(Login(2, "carol", "secret-c"), kAccepted));

  // A name made before the name rule (the store takes any name) still
  // logs in; no such name is made now.
  ASSERT_EQ(h.GetStore().AddUser("old\xE2\x80\xAEname", hash, 0), StoreStatus::kOk);
  EXPECT_TRUE(Contains(Login(3, "old%E2%80%AEname", "secret-c"), kAccepted));
  EXPECT_FALSE(CreateAccount(h.GetStore(), h.Passwords(), "new\xE2\x80\xAEname", "secret-n", 0).ok);
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

TEST(Proxy, ForwardedForIsReadOnlyFromTheTrustedProxy) {
  EXPECT_EQ(ForwardedFor("62.1.2.3"), 0x3E010203u);
  EXPECT_EQ(ForwardedFor("9.9.9.9, 62.1.2.3 "), 0x3E010203u);  // the proxy adds the last one
  EXPECT_EQ(ForwardedFor("62.1.2.3, unknown"), 0u);
  EXPECT_EQ(ForwardedFor(""), 0u);

  const auto published = [](Harness& h, const std::string& forwardedFor) {
    h.AddUser("bob", "secret-b");
    Post(h.Port(), "/dialvo/logmein.asp", kBobLogin, {"X-Forwarded-For: " + forwardedFor});
    return Between(h.Command("getuserlist.asp", "User=bob&Pass=secret-b&buddy=bob"), "<ipaddress>",
                   '<');
  };
  HttpServerOptions http = Harness::TestHttp();
  http.trustedProxy = 0x7F000001;
  Harness proxied({}, http);
  EXPECT_EQ(published(proxied, "1.1.1.1, 62.1.2.3"), "62.1.2.3");
  Harness direct;
  EXPECT_EQ(published(direct, "62.1.2.3"), "127.0.0.1");
}

}  // namespace
}  // namespace dialvo::server::test
