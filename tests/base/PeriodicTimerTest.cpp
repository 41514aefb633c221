#include "base/PeriodicTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/Wait.h"

namespace dialvo {
namespace {

TEST(PeriodicTimer, FiresRepeatedlyUntilStoppedFromOutsideOrByItsOwnCallback) {
  PeriodicTimer timer;
  std::atomic<int> entered{0};
  std::atomic<int> left{0};
  EXPECT_FALSE(timer.Start(0, [] {}));
  ASSERT_TRUE(timer.Start(1, [&] {
    entered.fetch_add(1);
    std::this_thread::yield();
    left.fetch_add(1);
  }));
  EXPECT_FALSE(timer.Start(1, [] {}));
  EXPECT_TRUE(test::WaitFor([&] { return left.load() >= 3; }));
  timer.Stop();
  // Stop returned: no callback is halfway and the thread is gone.
  EXPECT_EQ(entered.load(), left.load());
  EXPECT_FALSE(timer.IsRunning());

  // It may run again, and its callback may stop it.
  std::atomic<int> ticks{0};
  ASSERT_TRUE(timer.Start(2, [&] {
    if (ticks.fetch_add(1) == 1) timer.Stop();
  }));
  EXPECT_TRUE(test::WaitFor([&] { return !timer.IsRunning(); }));
  EXPECT_EQ(ticks.load(), 2);
  timer.Stop();  // joins the ended thread
}

}  // namespace
}  // namespace dialvo
