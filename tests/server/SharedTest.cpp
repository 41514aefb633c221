// Several service processes on one PostgreSQL database: two services in this
// process with stores of their own, and two real dialvo-server processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "server/Accounts.h"
#include "tests/server/Harness.h"

extern char** environ;

namespace dialvo::server::test {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

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

TEST_F(Shared, ALoginThroughOneProcessIsSeenAndEndedThroughTheOther) {
  const std::string login = Harness::LoginBody("bob", "secret-b", kGuidA, "62.10.20.30", 0);
  ASSERT_TRUE(Contains(a_.Command("logmein.asp", login), "<errorcode>0</errorcode>"));
  // Round robin sends the next keep-alive to the other process, which has
  // not refreshed yet: it looks the login up.
  EXPECT_EQ(b_.Command("iamup.asp", login), "+");
  // What one process signs the other accepts: the account page's session
  // and a form's token.
  const Reply link =
      Get(a_.Port(), "/app_links/app_myaccount.aspx?InstanceGUID=" + std::string(kGuidA));
  const size_t cookie = link.headers.find("dialvo_session=");
  ASSERT_NE(cookie, std::string::npos) << link.headers;
  const std::string session = link.headers.substr(cookie, link.headers.find(';', cookie) - cookie);
  EXPECT_TRUE(Contains(Get(b_.Port(), "/app_links/app_myaccount.aspx", {"Cookie: " + session}).body,
                       "<td>bob</td>"));
  EXPECT_TRUE(
      Contains(a_.PostForm("app_feedback.aspx", "text=hi", {}, b_.Port()).body, "Thank you"));
  // Lists are refreshed within one period, far below a keep-alive period.
  Advance(ServiceConfig{}.sharedRefreshMs);
  EXPECT_TRUE(Contains(Online(b_, "amy", "secret-a"), "62.10.20.30"));

  EXPECT_EQ(b_.Command("logmeoff.asp", login), "+");
  EXPECT_EQ(b_.Command("iamup.asp", login), "-");
  Advance(ServiceConfig{}.sharedRefreshMs);
  EXPECT_FALSE(Contains(Online(a_, "amy", "secret-a"), "<buddy>"));
  EXPECT_EQ(a_.Command("iamup.asp", login), "-");
}

TEST_F(Shared, ALoginFromAnotherInstanceEndsTheFirstOnEveryProcess) {
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
}

TEST_F(Shared, KeepalivesThroughEitherProcessKeepTheLoginAndSilenceEndsIt) {
  const std::string login = Harness::LoginBody("bob", "secret-b", kGuidA, "62.10.20.30", 0);
  a_.Command("logmein.asp", login);
  // Every keep-alive goes to b: a must not expire the login it started.
  for (int i = 0; i < 6; ++i) {
    Advance(45000);
    EXPECT_EQ(b_.Command("iamup.asp", login), "+");
  }
  EXPECT_TRUE(Contains(Online(a_, "amy", "secret-a"), "62.10.20.30"));
  Advance(135001);
  EXPECT_FALSE(Contains(Online(a_, "amy", "secret-a"), "<buddy>"));
  EXPECT_FALSE(Contains(Online(b_, "amy", "secret-a"), "<buddy>"));
}

// Two dialvo-server processes; the one taking the writes is killed in the
// middle of them. Every account and every acknowledged buddy list is there.
class Server {
 public:
  explicit Server(const std::string& database) {
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    const std::string program = std::string(DIALVO_TEST_BIN_DIR) + "/dialvo-server";
    std::vector<std::string> args = {program, "--db", database, "--listen", "127.0.0.1:0"};
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const bool spawned =
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
    std::string log;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::smatch match;
    const std::regex serving("serving on 127\\.0\\.0\\.1:(\\d+)");
    while (spawned && !std::regex_search(log, match, serving) &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd fd{err[0], POLLIN, 0};
      if (poll(&fd, 1, 100) <= 0) continue;
      char buffer[512];
      const ssize_t n = read(err[0], buffer, sizeof buffer);
      if (n <= 0) break;
      log.append(buffer, static_cast<size_t>(n));
    }
    close(err[0]);
    if (std::regex_search(log, match, serving)) port_ = static_cast<uint16_t>(std::stoi(match[1]));
  }
  ~Server() { Kill(); }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  uint16_t Port() const { return port_; }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

 private:
  pid_t pid_ = 0;
  uint16_t port_ = 0;
};

TEST(SharedProcesses, OneKilledMidTrafficLosesNoAccountAndNoBuddyList) {
  if (!UsingPostgres()) GTEST_SKIP() << "one SQLite file serves one process";
  TempDir dir;
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
  Server doomed(database);
  Server survivor(database);
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
    std::vector<std::string> listed;
    const std::regex userid("<userid>([^<]*)</userid>");
    for (auto it = std::sregex_iterator(answer.begin(), answer.end(), userid);
         it != std::sregex_iterator(); ++it) {
      listed.push_back((*it)[1]);
    }
    const int count = static_cast<int>(listed.size());
    EXPECT_TRUE(count == acknowledged[i] || count == acknowledged[i] + 1) << answer;
    for (int b = 0; b < count; ++b) EXPECT_EQ(listed[b], "b" + std::to_string(b));
  }
}

}  // namespace
}  // namespace dialvo::server::test
