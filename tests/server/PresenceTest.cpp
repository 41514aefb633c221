#include "server/Presence.h"

#include <gtest/gtest.h>

#include "server/Answers.h"
#include "tests/server/Harness.h"

namespace dialvo::server {
namespace {

constexpr int64_t kLifetime = 135000;

using test::MakeLogin;

Published Same(const LoginRecord& login) {
  return {login.address, login.ipType, login.listeningPort, login.version, login.sourceIp};
}

TEST(Presence, LoginLivesForItsLifetimeAfterTheLastKeepalive) {
  Presence presence(kLifetime, 15000);
  const LoginRecord bob = MakeLogin("Bob", "g1", 0);
  presence.Start("bob", bob, "ended");
  LoginRecord found;
  EXPECT_EQ(presence.Touch("bob", "g1", Same(bob), 100000).state, Presence::Keepalive::kAlive);
  EXPECT_TRUE(presence.Find("bob", 100000 + kLifetime, found));
  EXPECT_FALSE(presence.Find("bob", 100000 + kLifetime + 1, found));
  EXPECT_EQ(presence.Touch("bob", "g1", Same(bob), 100000 + kLifetime + 1).state,
            Presence::Keepalive::kUnknown);
  EXPECT_EQ(presence.Sweep(100000 + kLifetime), 0u);
  EXPECT_EQ(presence.Sweep(100000 + kLifetime + 1), 1u);
  EXPECT_EQ(presence.LiveCount(0), 0u);
}

TEST(Presence, LoginFromAnotherInstanceEndsTheFirstWithAReason) {
  Presence presence(kLifetime, 15000);
  const LoginRecord first = MakeLogin("bob", "pc-1", 0);
  presence.Start("bob", first, "logged in elsewhere");
  EXPECT_TRUE(presence.Start("bob", MakeLogin("bob", "pc-2", 10, "1.2.3.4"), "logged in elsewhere")
                  .endedOtherInstance);

  auto touch = presence.Touch("bob", "pc-1", Same(first), 20);
  EXPECT_EQ(touch.state, Presence::Keepalive::kEnded);
  EXPECT_EQ(touch.endedReason, "logged in elsewhere");
  // The first instance logging off must not end the second one's login.
  EXPECT_FALSE(presence.End("bob", "pc-1"));
  LoginRecord found;
  ASSERT_TRUE(presence.Find("bob", 30, found));
  EXPECT_EQ(found.address, "1.2.3.4");

  presence.Sweep(10 + kLifetime + 1);  // the note is forgotten with time
  EXPECT_EQ(presence.Touch("bob", "pc-1", Same(first), 10 + kLifetime + 1).state,
            Presence::Keepalive::kUnknown);
  // An expired login being replaced is no news for anybody.
  EXPECT_FALSE(
      presence.Start("bob", MakeLogin("bob", "pc-3", 10 * kLifetime), "x").endedOtherInstance);
}

TEST(Presence, ALoginWithAnotherUsersInstanceNeverEndsThatUsersLogin) {
  Presence presence(kLifetime, 15000);
  presence.Start("bob", MakeLogin("bob", "pc-1", 0), "x");
  const auto started = presence.Start("amy", MakeLogin("amy", "pc-1", 5), "x");
  EXPECT_FALSE(started.endedOtherInstance);
  LoginRecord found;
  ASSERT_TRUE(presence.Find("bob", 10, found));
  ASSERT_TRUE(presence.FindByInstance("pc-1", 10, found));
  EXPECT_EQ(found.userName, "amy");
  // Bob's login goes when it expires; amy's stays.
  EXPECT_EQ(presence.Sweep(kLifetime + 1), 1u);
  EXPECT_FALSE(presence.Find("bob", kLifetime + 1, found));
  ASSERT_TRUE(presence.FindByInstance("pc-1", kLifetime + 1, found));
  EXPECT_EQ(found.userName, "amy");
}

TEST(Presence, KeepalivesReportChangesAndPersistAtMostOncePerPeriod) {
  Presence presence(kLifetime, 15000);
  const LoginRecord bob = MakeLogin("bob", "g", 0);
  presence.Start("bob", bob, "x");
  auto touch = presence.Touch("bob", "g", Same(bob), 10000);
  EXPECT_FALSE(touch.changed);
  EXPECT_FALSE(touch.persist);
  touch = presence.Touch("bob", "g", Same(bob), 15000);
  EXPECT_TRUE(touch.persist);
  EXPECT_EQ(touch.login.lastSeenMs, 15000);
  EXPECT_FALSE(presence.Touch("bob", "g", Same(bob), 16000).persist);

  Published moved = Same(bob);
  moved.address = "LAN";
  touch = presence.Touch("bob", "g", moved, 17000);
  EXPECT_TRUE(touch.changed);
  EXPECT_EQ(touch.login.address, "LAN");
  EXPECT_EQ(touch.login.lastSeenMs, 17000);
  EXPECT_FALSE(presence.Touch("bob", "g", moved, 18000).changed);
}

TEST(Presence, OnlineBuddiesComeOnceEachInTheOrderAsked) {
  Presence presence(kLifetime, 15000);
  presence.Start("amy", MakeLogin("Amy", "g-amy", 0, "LAN"), "x");
  presence.Start("kim", MakeLogin("kim", "g-kim", 0), "x");
  presence.Start("old", MakeLogin("old", "g-old", -kLifetime - 1), "x");
  std::string elements = "head";
  EXPECT_EQ(presence.AppendOnline({"kim", "nobody", "AMY", "old", "amy", "Kim"}, 0, elements), 2u);
  EXPECT_EQ(elements, "head" + BuddyElement({"kim", "62.10.20.30", 1720, 0, 5}) +
                          BuddyElement({"Amy", "LAN", 1720, 0, 5}));
  // A changed address is in the next list.
  presence.Touch("kim", "g-kim", {"LAN", 0, 1720, 5, "127.0.0.1"}, 1);
  elements.clear();
  presence.AppendOnline({"kim"}, 1, elements);
  EXPECT_EQ(elements, BuddyElement({"kim", "LAN", 1720, 0, 5}));
}

}  // namespace
}  // namespace dialvo::server
