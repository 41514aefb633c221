#include "base/NamedThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "base/ThreadMessages.h"
#include "tests/support/Wait.h"

namespace dialvo {
namespace {

TEST(NamedThread, WaitIsMinusOneBeforeTheStartAndAfterTheEndAndTimesOutBetween) {
  NamedThread thread([](void*) -> uint32_t { return 0; }, nullptr, "Idle Thread", false);
  EXPECT_EQ(thread.Name(), "Idle Thread");
  EXPECT_EQ(thread.Wait(kInfinite), -1);
  // The entry never releases the starter: its end does.
  ASSERT_TRUE(thread.Start(true));
  EXPECT_FALSE(thread.Start(true));  // a thread object runs once
  EXPECT_NE(thread.Wait(kInfinite), static_cast<int32_t>(kWaitTimeout));
  EXPECT_EQ(thread.Wait(kInfinite), -1);
  EXPECT_FALSE(thread.IsRunning());

  // While the thread runs, a wait times out.
  CSem release(0L);
  NamedThread blocked(
      [](void* p) -> uint32_t {
        static_cast<CSem*>(p)->WaitOnSemaphore(kInfinite);
        return 0;
      },
      &release, "Blocked Thread", false);
  ASSERT_TRUE(blocked.Start(false));
  EXPECT_EQ(blocked.Wait(20), static_cast<int32_t>(kWaitTimeout));
  release.SignalSemaphore();
  EXPECT_NE(blocked.Wait(kInfinite), static_cast<int32_t>(kWaitTimeout));
  EXPECT_EQ(blocked.Wait(0), -1);
}

// The readiness hand-off: the entry makes its queue, then releases the
// starter, so a message posted right after Start is never lost.
uint32_t EchoEntry(void* param) {
  auto* received = static_cast<std::atomic<uint32_t>*>(param);
  PeekMessage();
  NamedThread::Current()->ReleaseStartSemaphore();
  const ThreadMessage msg = GetMessage();
  *received = msg.message + static_cast<uint32_t>(msg.wParam) + static_cast<uint32_t>(msg.lParam);
  return 0;
}

TEST(NamedThread, MessagePostedRightAfterStartWithWaitingIsReceived) {
  for (int i = 0; i < 50; ++i) {
    std::atomic<uint32_t> received{0};
    NamedThread thread(EchoEntry, &received, "Echo Thread", false);
    ASSERT_TRUE(thread.Start(true));
    ASSERT_TRUE(PostThreadMessage(thread.ThreadId(), 1000, 20, 3));
    // Ended within the time (-1 when it had ended before the call).
    EXPECT_NE(thread.Wait(5000), static_cast<int32_t>(kWaitTimeout));
    EXPECT_EQ(received.load(), 1023u);
  }
}

TEST(NamedThread, SelfDeletingThreadsFreeThemselves) {
  // Run many, with and without waiting, to shake out races between the
  // starter and the thread deleting the object (ASan reports use after free
  // and leaks).
  std::atomic<int> ran{0};
  const int before = NamedThread::LiveObjects();
  for (int i = 0; i < 200; ++i) {
    auto* thread = new NamedThread(
        [](void* p) -> uint32_t {
          NamedThread::Current()->ReleaseStartSemaphore();
          static_cast<std::atomic<int>*>(p)->fetch_add(1);
          return 0;
        },
        &ran, "Self Deleting Thread", true);
    ASSERT_TRUE(thread->Start(i % 2 == 0));
  }
  EXPECT_TRUE(test::WaitFor([&] { return NamedThread::LiveObjects() == before; }));
  EXPECT_EQ(ran.load(), 200);
}

}  // namespace
}  // namespace dialvo
