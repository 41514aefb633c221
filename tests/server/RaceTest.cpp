// Keep-alives, lists, logins and sweeps from several threads at once. Meant
// for ThreadSanitizer (label tsan), which finds unguarded state; the
// outcome is checked everywhere.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "server/Answers.h"
#include "server/Presence.h"
#include "tests/server/Harness.h"

namespace dialvo::server {
namespace {

TEST(Presence, ConcurrentUseLosesNoLoginAndNoKeepalive) {
  constexpr int64_t kRounds = 3000;
  Presence presence(1000, 100);
  std::vector<std::thread> threads;
  threads.reserve(3);
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&presence, t] {
      const std::string key = "user" + std::to_string(t);
      std::string guid;
      for (int64_t now = 1; now <= kRounds; ++now) {
        if (now % 50 == 1) {
          guid = "g" + std::to_string(now);
          presence.Start(key, test::MakeLogin(key, guid, now, "1.2.3.4"), "x");
        }
        presence.Touch(key, guid, {now % 3 == 0 ? "LAN" : "1.2.3.4", 0, 1720, 5, "127.0.0.1"}, now);
        std::string online;
        presence.AppendOnline({"user0", "user1", "user2"}, now, online);
        if (now % 97 == 0) presence.Sweep(now);
      }
      // The last keep-alive of each: the others' sweeps, all earlier, keep it.
      presence.Touch(key, guid, {"9.9.9." + std::to_string(t), 0, 1720, 5, "127.0.0.1"},
                     kRounds + 1);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(presence.LiveCount(kRounds + 1), 3u);
  std::string online;
  EXPECT_EQ(presence.AppendOnline({"user0", "user1", "user2"}, kRounds + 1, online), 3u);
  EXPECT_EQ(online, BuddyElement({"user0", "9.9.9.0", 1720, 0, 5}) +
                        BuddyElement({"user1", "9.9.9.1", 1720, 0, 5}) +
                        BuddyElement({"user2", "9.9.9.2", 1720, 0, 5}));
}

}  // namespace
}  // namespace dialvo::server
