#include "base/PeriodicTimer.h"

#include <gtest/gtest.h>

#include <atomic>

#include "tests/support/Wait.h"

namespace dialvo {
namespace {

TEST(PeriodicTimer, FiresRepeatedlyUntilStopped) {
  PeriodicTimer timer;
  std::atomic<int> ticks{0};
  EXPECT_FALSE(timer.Start(0, [] {}));
  ASSERT_TRUE(timer.Start(5, [&] { ticks.fetch_add(1); }));
  EXPECT_FALSE(timer.Start(5, [] {}));
  EXPECT_TRUE(test::WaitFor([&] { return ticks.load() >= 3; }));
  timer.Stop();
  const int after = ticks.load();
  EXPECT_FALSE(timer.IsRunning());
  // Stop returned: no callback runs any more.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ticks.load(), after);
}

TEST(PeriodicTimer, CallbackMayStopItsOwnTimer) {
  PeriodicTimer timer;
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
