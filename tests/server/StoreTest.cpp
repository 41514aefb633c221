#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/server/Harness.h"

namespace dialvo::server::test {
namespace {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    store_ = OpenTestStore(database_, error);
    ASSERT_TRUE(store_) << error;
  }
  std::string Path() const { return dir_.Path() + "/s.db"; }
  int64_t AddUser(const std::string& name) {
    EXPECT_EQ(store_->AddUser(name, "hash-of-" + name, 1), StoreStatus::kOk);
    UserRecord user;
    EXPECT_EQ(store_->FindUser(name, user), StoreStatus::kOk);
    return user.id;
  }
  static LoginRecord Login(int64_t userId, const std::string& name, int64_t seen) {
    LoginRecord login = MakeLogin(name, "guid-" + name, seen, "LAN");
    login.userId = userId;
    return login;
  }

  ScratchDir dir_;
  const std::string database_ = TestDatabase(Path());
  std::unique_ptr<Store> store_;
};

TEST_F(StoreTest, NamesAreUniqueWithoutCaseAndHostileTextIsJustData) {
  AddUser("Bob");
  EXPECT_EQ(store_->AddUser("bOB", "h", 2), StoreStatus::kExists);
  UserRecord user;
  ASSERT_EQ(store_->FindUser("BOB", user), StoreStatus::kOk);
  EXPECT_EQ(user.name, "Bob");
  EXPECT_EQ(user.passwordHash, "hash-of-Bob");

  const std::string hostile = "x'); DROP TABLE users;--";
  AddUser(hostile);
  AddUser("a_b");
  AddUser("axb");
  std::vector<std::string> names;
  ASSERT_EQ(store_->SearchUsers("A_", 10, names), StoreStatus::kOk);
  EXPECT_EQ(names, std::vector<std::string>{"a_b"});  // '_' is not a wildcard
  ASSERT_EQ(store_->SearchUsers("x'", 10, names), StoreStatus::kOk);
  EXPECT_EQ(names, std::vector<std::string>{hostile});
  ASSERT_EQ(store_->SearchUsers("b", 10, names), StoreStatus::kOk);  // a prefix, not a part
  EXPECT_EQ(names, std::vector<std::string>{"Bob"});
  ASSERT_EQ(store_->ListUsers(names), StoreStatus::kOk);
  EXPECT_EQ(names.size(), 4u);
}

TEST_F(StoreTest, BuddyListsKeepTheirOrderAndGoWithTheirUser) {
  const int64_t bob = AddUser("bob");
  const int64_t eve = AddUser("eve");
  // A list keeps its order and is replaced whole.
  ASSERT_EQ(store_->SetBuddyList(bob, {"zed", "amy", "kim"}), StoreStatus::kOk);
  ASSERT_EQ(store_->SetBuddyList(bob, {"carol", "alice"}), StoreStatus::kOk);
  std::vector<std::string> buddies;
  ASSERT_EQ(store_->GetBuddyList(bob, buddies), StoreStatus::kOk);
  EXPECT_EQ(buddies, (std::vector<std::string>{"carol", "alice"}));
  ASSERT_EQ(store_->SaveLogin(Login(bob, "bob", 100)), StoreStatus::kOk);
  ASSERT_EQ(store_->SaveLogin(Login(eve, "eve", 100)), StoreStatus::kOk);
  int64_t session = 0;
  ASSERT_EQ(store_->ReportCall("conf", bob, {{"eve", 1, 20}}, false, 100, session),
            StoreStatus::kOk);

  EXPECT_EQ(store_->DeleteUser("BOB"), StoreStatus::kOk);
  EXPECT_EQ(store_->DeleteUser("bob"), StoreStatus::kNotFound);
  EXPECT_EQ(store_->GetBuddyList(bob, buddies), StoreStatus::kOk);
  EXPECT_TRUE(buddies.empty());
  std::vector<LoginRecord> logins;
  ASSERT_EQ(store_->LoadLogins(0, logins), StoreStatus::kOk);
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].userName, "eve");
  std::vector<CallSummary> calls;
  ASSERT_EQ(store_->RecentCalls(bob, 5, calls), StoreStatus::kOk);
  EXPECT_TRUE(calls.empty());
}

TEST_F(StoreTest, LoginsSurviveReopeningAndExpireAndANewerSchemaIsNotTouched) {
  const int64_t bob = AddUser("bob");
  const int64_t amy = AddUser("amy");
  LoginRecord login = Login(bob, "bob", 1000);
  login.ipType = 2;
  login.listeningPort = 1800;
  login.address = "62.10.20.30";
  ASSERT_EQ(store_->SaveLogin(login), StoreStatus::kOk);
  ASSERT_EQ(store_->SaveLogin(Login(amy, "amy", 500)), StoreStatus::kOk);
  EXPECT_EQ(store_->TouchLogin(bob, "another-guid", 5000), StoreStatus::kExists);
  EXPECT_EQ(store_->TouchLogin(bob + amy, "guid-bob", 5000), StoreStatus::kNotFound);
  EXPECT_EQ(store_->TouchLogin(bob, login.instanceGuid, 2000), StoreStatus::kOk);

  // The file is private.
  if (!UsingPostgres()) {
    struct stat info {};
    ASSERT_EQ(::stat(Path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
  }
  store_.reset();
  std::string error;
  store_ = OpenTestStore(database_, error);
  ASSERT_TRUE(store_) << error;
  std::vector<LoginRecord> logins;
  ASSERT_EQ(store_->LoadLogins(1000, logins), StoreStatus::kOk);
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].address, "62.10.20.30");
  EXPECT_EQ(logins[0].ipType, 2);
  EXPECT_EQ(logins[0].listeningPort, 1800);
  EXPECT_EQ(logins[0].lastSeenMs, 2000);

  ASSERT_EQ(store_->DeleteLoginsSeenBefore(2001), StoreStatus::kOk);
  ASSERT_EQ(store_->LoadLogins(0, logins), StoreStatus::kOk);
  EXPECT_TRUE(logins.empty());

  store_.reset();
  ASSERT_TRUE(RunSql(database_, UsingPostgres() ? "UPDATE dialvo_schema SET version = 99"
                                                : "PRAGMA user_version=99"));
  EXPECT_FALSE(OpenTestStore(database_, error));
  EXPECT_TRUE(Contains(error, "newer")) << error;
}

// Accounts are answered from memory between reads; a change must never let an
// old password or a deleted account linger past what the cache promises.
TEST_F(StoreTest, RememberedAccountsFollowChangesMadeHereAtOnceAndElsewhereWithinTheAge) {
  int64_t now = 10000;
  std::string error;
  TestStoreOptions options;
  options.userCacheMs = 1000;
  options.clockMs = [&now] { return now; };
  auto cached = OpenTestStore(database_, error, options);
  ASSERT_TRUE(cached) << error;
  const int64_t bob = AddUser("bob");
  AddUser("amy");
  UserRecord user;
  ASSERT_EQ(cached->FindUser("BOB", user), StoreStatus::kOk);

  // Changed through the same store: seen at once.
  ASSERT_EQ(cached->SetPasswordHash(bob, "new-hash"), StoreStatus::kOk);
  ASSERT_EQ(cached->FindUser("bob", user), StoreStatus::kOk);
  EXPECT_EQ(user.passwordHash, "new-hash");
  ASSERT_EQ(cached->DeleteUser("Bob"), StoreStatus::kOk);
  EXPECT_EQ(cached->FindUser("bob", user), StoreStatus::kNotFound);

  // Deleted by another process on the same file: seen once the entry ages out.
  ASSERT_EQ(cached->FindUser("amy", user), StoreStatus::kOk);
  ASSERT_EQ(store_->DeleteUser("amy"), StoreStatus::kOk);
  now += 999;
  EXPECT_EQ(cached->FindUser("amy", user), StoreStatus::kOk);
  now += 1;
  EXPECT_EQ(cached->FindUser("amy", user), StoreStatus::kNotFound);

  // Unknown names are not remembered: an account added elsewhere is found at once.
  EXPECT_EQ(cached->FindUser("cat", user), StoreStatus::kNotFound);
  AddUser("cat");
  EXPECT_EQ(cached->FindUser("cat", user), StoreStatus::kOk);
}

TEST(UserCacheTest, FullCacheStartsOverAndStaleOrOverlappingReadsAreNotKept) {
  int64_t now = 50'000;
  UserCache cache(1000, 2, [&now] { return now; });
  UserRecord a{1, "a", "h1", 0};
  cache.Put("a", a, cache.Ticket());
  cache.Put("b", {2, "b", "h2", 0}, cache.Ticket());
  cache.Put("c", {3, "c", "h3", 0}, cache.Ticket());
  UserRecord out;
  EXPECT_FALSE(cache.Find("a", out));
  EXPECT_TRUE(cache.Find("c", out));

  const uint64_t ticket = cache.Ticket();  // a read of "a" starts...
  cache.Forget("a");                       // ...while its password changes
  cache.Put("a", a, ticket);
  EXPECT_FALSE(cache.Find("a", out));

  // A clock set back makes every entry stale.
  cache.Put("d", {4, "d", "h4", 0}, cache.Ticket());
  EXPECT_TRUE(cache.Find("d", out));
  now -= 3'600'000;
  EXPECT_FALSE(cache.Find("d", out));
}

TEST_F(StoreTest, OneSessionNumberPerConference) {
  const int64_t bob = AddUser("bob");
  const int64_t amy = AddUser("amy");
  int64_t first = 0, again = 0, byAmy = 0, other = 0;
  ASSERT_EQ(store_->ReportCall("conf-1", bob, {{"amy", 0, 1}}, false, 10, first), StoreStatus::kOk);
  ASSERT_EQ(store_->ReportCall("conf-1", bob, {{"amy", 5, 80}, {"kim", 2, 90}}, true, 20, again),
            StoreStatus::kOk);
  ASSERT_EQ(store_->ReportCall("conf-1", amy, {{"bob", 5, 70}}, false, 30, byAmy),
            StoreStatus::kOk);
  ASSERT_EQ(store_->ReportCall("conf-2", bob, {}, false, 40, other), StoreStatus::kOk);
  EXPECT_GT(first, 0);
  EXPECT_EQ(again, first);
  EXPECT_EQ(byAmy, first);
  EXPECT_NE(other, first);

  std::vector<CallSummary> calls;
  ASSERT_EQ(store_->RecentCalls(bob, 10, calls), StoreStatus::kOk);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].sessionId, other);  // newest first
  const CallSummary& call = calls[1];
  EXPECT_TRUE(call.recorded);
  ASSERT_EQ(call.participants.size(), 2u);  // bob's latest report, not amy's
  EXPECT_EQ(call.participants[0].name, "amy");
  EXPECT_EQ(call.participants[0].minutes, 5);
  EXPECT_EQ(call.participants[1].avgDelayMs, 90);
}

}  // namespace
}  // namespace dialvo::server::test
