// Several service processes on one PostgreSQL database: two services in this
// process with stores of their own, and two real dialvo-server processes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "server/Accounts.h"
#include "tests/cli/ServerProcess.h"
#include "tests/server/Harness.h"

namespace dialvo::server::test {
namespace {

std::string Online(Harness& h, const std::string& user, const std::string& password) {
  return h.Command("getuserlist.asp", "User=" + user + "&Pass=" + password + "&buddy=bob");
}

class Shared : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UsingPostgres()) GTEST_SKIP() << "one SQLite file serves one process";
    a_.AddUser("bob", "secret-b");
    a_.AddUser("amy", "secret-a");
  }
  void Advance(int64_t ms) {
    a_.Advance(ms);
    b_.Advance(ms);
  }

  Harness a_;
  Harness b_{{}, Harness::TestHttp(), a_.Database()};
};

TEST_F(Shared, ALoginThroughOneProcessIsKeptAndEndedThroughTheOther) {
  const std::string login = Harness::LoginBody("bob", "secret-b", kGuidA, "62.10.20.30", 0);
  ASSERT_TRUE(Contains(a_.Command("logmein.asp", login), "<errorcode>0</errorcode>"));
  // Round robin sends the next keep-alive to the other process, which has
  // not refreshed yet: it looks the login up.
  EXPECT_EQ(b_.Command("iamup.asp", login), "+");
  // What one process signs the other accepts: the account page's session
  // and a form's token.
  const Reply link =
      Get(a_.Port(), "/app_links/app_myaccount.aspx?InstanceGUID=" + std::string(kGuidA));
  const std::string session = "dialvo_session=" + Between(link.headers, "dialvo_session=", ';');
  ASSERT_TRUE(Contains(link.headers, session + ';')) << link.headers;
  EXPECT_TRUE(Contains(Get(b_.Port(), "/app_links/app_myaccount.aspx", {"Cookie: " + session}).body,
                       "<td>bob</td>"));
  EXPECT_TRUE(
      Contains(a_.PostForm("app_feedback.aspx", "text=hi", {}, b_.Port()).body, "Thank you"));
  // Lists are refreshed within one period, far below a keep-alive period.
  Advance(ServiceConfig{}.sharedRefreshMs);
  EXPECT_TRUE(Contains(Online(b_, "amy", "secret-a"), "62.10.20.30"));
  // Every keep-alive goes to b: a must not expire the login it started.
  for (int i = 0; i < 6; ++i) {
    Advance(45000);
    EXPECT_EQ(b_.Command("iamup.asp", login), "+");
  }
  EXPECT_TRUE(Contains(Online(a_, "amy", "secret-a"), "62.10.20.30"));

  EXPECT_EQ(b_.Command("logmeoff.asp", login), "+");
  EXPECT_EQ(b_.Command("iamup.asp", login), "-");
  Advance(ServiceConfig{}.sharedRefreshMs);
  EXPECT_FALSE(Contains(Online(a_, "amy", "secret-a"), "<buddy>"));
  EXPECT_EQ(a_.Command("iamup.asp", login), "-");
}

TEST_F(Shared, ALoginFromAnotherInstanceOrSilenceEndsTheFirstOnEveryProcess) {
  const std::string first = Harness::LoginBody("bob", "secret-b", kGuidA, "1.1.1.1", 0);
  const std::string second = Harness::LoginBody("bob", "secret-b", kGuidB, "2.2.2.2", 0);
  a_.Command("logmein.asp", first);
  b_.Command("logmein.asp", second);
  // The process of the first login has not heard yet: its keep-alive, due
  // to be written, neither ends the login nor takes the stored one back.
  Advance(a_.GetService().PersistEveryMs());
  EXPECT_EQ(a_.Command("iamup.asp", first), "+");
  EXPECT_TRUE(b_.Command("iamup.asp", first).starts_with("#"));
  Advance(ServiceConfig{}.sharedRefreshMs);
  EXPECT_TRUE(Contains(Online(a_, "amy", "secret-a"), "2.2.2.2"));
  EXPECT_TRUE(a_.Command("iamup.asp", first).starts_with("#"));
  EXPECT_EQ(a_.Command("iamup.asp", second), "+");
  // Silence ends it on both.
  Advance(135001);
  EXPECT_FALSE(Contains(Online(a_, "amy", "secret-a"), "<buddy>"));
  EXPECT_FALSE(Contains(Online(b_, "amy", "secret-a"), "<buddy>"));
}

// Two dialvo-server processes; the one taking the writes is killed in the
// middle of them. Every account and every acknowledged buddy list is there.
TEST(SharedProcesses, OneKilledMidTrafficLosesNoAccountAndNoBuddyList) {
  if (!UsingPostgres()) GTEST_SKIP() << "one SQLite file serves one process";
  ScratchDir dir;
  const std::string database = TestDatabase(dir.Path() + "/unused.db");
  constexpr int kUsers = 8;
  {
    std::string error;
    auto store = OpenTestStore(database, error);
    ASSERT_TRUE(store) << error;
    PasswordChecker passwords(HashCost::Minimal(), 1);
    for (int i = 0; i < kUsers; ++i) {
      ASSERT_TRUE(CreateAccount(*store, passwords, "u" + std::to_string(i), "secret-u", 0).ok);
    }
  }
  ::dialvo::test::ServerProcess doomed({"--db", database});
  ::dialvo::test::ServerProcess survivor({"--db", database});
  ASSERT_NE(doomed.Port(), 0);
  ASSERT_NE(survivor.Port(), 0);

  // Each user's list grows by one name per acknowledged write.
  std::vector<std::atomic<int>> acknowledged(kUsers);
  std::atomic<bool> killed{false};
  std::thread writer([&] {
    for (int round = 1; !killed; ++round) {
      for (int i = 0; i < kUsers && !killed; ++i) {
        std::string body = "User=u" + std::to_string(i) + "&Pass=secret-u";
        for (int b = 0; b < round; ++b) body += "&buddy=b" + std::to_string(b);
        const Reply reply = Post(doomed.Port(), "/dialvo/syncblist.asp", body);
        if (reply.body == "+") acknowledged[i] = round;
      }
    }
  });
  // Killed once every list was written a few times (the first login of each
  // account also rehashes its password).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  const auto written = [&] {
    return std::all_of(acknowledged.begin(), acknowledged.end(), [](auto& n) { return n >= 3; });
  };
  while (!written() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  doomed.Kill();
  killed = true;
  writer.join();

  for (int i = 0; i < kUsers; ++i) {
    const std::string answer = Post(survivor.Port(), "/dialvo/logmein.asp",
                                    Harness::LoginBody("u" + std::to_string(i), "secret-u", kGuidA))
                                   .body;
    ASSERT_TRUE(Contains(answer, "<errorcode>0</errorcode>")) << answer;
    ASSERT_GE(acknowledged[i], 3);
    // The acknowledged list, or the one in flight when the process died;
    // whole either way.
    const auto listed = [&](int count) {
      std::string names = "</popup_url>\n";
      for (int b = 0; b < count; ++b) names += "<userid>b" + std::to_string(b) + "</userid>\n";
      return Contains(answer, names + "<report_key>");
    };
    EXPECT_TRUE(listed(acknowledged[i]) || listed(acknowledged[i] + 1)) << answer;
  }
}

}  // namespace
}  // namespace dialvo::server::test
