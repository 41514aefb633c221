#include "base/Swmrg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/support/Wait.h"

namespace dialvo {
namespace {

enum Side { kRead, kWrite };

// The outcome of a wait for one side of the guard on another thread, which
// leaves at once when it got in.
uint32_t TryFromOtherThread(SWMRG& guard, Side side, uint32_t timeoutMs) {
  uint32_t result = 0;
  std::thread([&] {
    result = side == kWrite ? guard.WaitToWrite(timeoutMs) : guard.WaitToRead(timeoutMs);
    if (result == kWaitObject0) side == kWrite ? guard.DoneWriting() : guard.DoneReading();
  }).join();
  return result;
}

TEST(Swmrg, WriterWaitsUntilBothReadersHaveLeftWithoutHoldingBackNewOnes) {
  SWMRG guard;
  ASSERT_TRUE(guard.Initialize());
  ASSERT_EQ(guard.WaitToRead(kInfinite), kWaitObject0);
  std::thread secondReader([&] { ASSERT_EQ(guard.WaitToRead(kInfinite), kWaitObject0); });
  secondReader.join();

  std::atomic<bool> writing{false};
  std::thread writer([&] {
    guard.WaitToWrite(kInfinite);
    writing = true;
    guard.DoneWriting();
  });
  EXPECT_EQ(TryFromOtherThread(guard, kWrite, 20), kWaitTimeout);
  // The waiting writer does not keep new readers out.
  for (int i = 0; i < 20; ++i) EXPECT_EQ(TryFromOtherThread(guard, kRead, 0), kWaitObject0);
  guard.DoneReading();
  EXPECT_EQ(TryFromOtherThread(guard, kWrite, 20), kWaitTimeout);
  EXPECT_FALSE(writing.load());
  guard.DoneReading();
  writer.join();
  EXPECT_TRUE(writing.load());
}

TEST(Swmrg, WriterReentersAsWriterAndReaderOnItsOwnThread) {
  SWMRG guard;
  ASSERT_TRUE(guard.Initialize());
  ASSERT_EQ(guard.WaitToWrite(kInfinite), kWaitObject0);
  EXPECT_EQ(guard.WaitToWrite(0), kWaitObject0);
  EXPECT_EQ(guard.WaitToRead(0), kWaitObject0);
  guard.DoneReading();
  // Others stay out until the outermost DoneWriting.
  EXPECT_EQ(TryFromOtherThread(guard, kRead, 0), kWaitTimeout);
  guard.DoneWriting();
  EXPECT_EQ(TryFromOtherThread(guard, kRead, 0), kWaitTimeout);
  EXPECT_EQ(TryFromOtherThread(guard, kWrite, 0), kWaitTimeout);
  guard.DoneWriting();
  EXPECT_EQ(TryFromOtherThread(guard, kRead, 0), kWaitObject0);
  EXPECT_EQ(TryFromOtherThread(guard, kWrite, 0), kWaitObject0);
}

TEST(Swmrg, ManyReadersAndWritersNeverOverlap) {
  SWMRG guard;
  ASSERT_TRUE(guard.Initialize());
  int shared = 0;  // written only under the writer side
  std::atomic<int> readersInside{0};
  std::atomic<bool> overlap{false};
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        if ((i + t) % 3 == 0) {
          WriteGuard w(guard);
          if (readersInside.load() != 0) overlap = true;
          ++shared;
        } else {
          ReadGuard r(guard);
          readersInside.fetch_add(1);
          (void)shared;
          readersInside.fetch_sub(1);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(overlap.load());
  WriteGuard w(guard);
  EXPECT_EQ(shared, 667);
}

TEST(Swmrg, NamedGuardsShareOneStateAndNamesAreLimited) {
  const std::string name = "swmrg-" + std::to_string(getpid());
  SWMRG::Unlink(name.c_str());
  SWMRG a;
  SWMRG b;
  ASSERT_TRUE(a.Initialize(name.c_str()));
  ASSERT_TRUE(b.Initialize(name.c_str()));
  ASSERT_EQ(a.WaitToWrite(kInfinite), kWaitObject0);
  EXPECT_EQ(TryFromOtherThread(b, kRead, 0), kWaitTimeout);
  a.DoneWriting();
  EXPECT_EQ(TryFromOtherThread(b, kRead, 0), kWaitObject0);
  SWMRG::Unlink(name.c_str());

  // The longest prefix is 19 characters: names of 81 or more reach 100.
  SWMRG c;
  EXPECT_TRUE(c.Initialize(std::string(80, 'n').c_str()));
  SWMRG::Unlink(std::string(80, 'n').c_str());
  SWMRG d;
  EXPECT_FALSE(d.Initialize(std::string(81, 'n').c_str()));
  EXPECT_FALSE(d.Initialize(std::string(90, 'n').c_str()));
  EXPECT_FALSE(d.IsInitialized());
  EXPECT_EQ(d.WaitToRead(0), kWaitFailed);
}

}  // namespace
}  // namespace dialvo
