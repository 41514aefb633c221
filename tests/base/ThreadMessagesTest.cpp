#include "base/ThreadMessages.h"

#include <gtest/gtest.h>

#include <thread>

#include "base/CSem.h"
#include "base/ThreadId.h"

namespace dialvo {
namespace {

TEST(ThreadMessages, PostingNeedsTheTargetsQueue) {
  std::atomic<uint32_t> id{0};
  CSem queued(0L);
  CSem done(0L);
  std::thread target([&] {
    id = CurrentThreadId();
    queued.SignalSemaphore();  // no queue yet
    done.WaitOnSemaphore(kInfinite);
    EXPECT_FALSE(PeekMessage());  // creates the queue, nothing there
    queued.SignalSemaphore();
    done.WaitOnSemaphore(kInfinite);
    // Messages arrive in posting order; PeekNext leaves them in place.
    auto first = PeekNextMessage();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->message, 1u);
    EXPECT_EQ(GetMessage().message, 1u);
    auto second = GetMessage(100);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->message, 2u);
    EXPECT_EQ(second->wParam, 22u);
    EXPECT_EQ(second->lParam, 222u);
    EXPECT_FALSE(GetMessage(10).has_value());
  });
  queued.WaitOnSemaphore(kInfinite);
  EXPECT_FALSE(PostThreadMessage(id, 1, 0, 0));
  done.SignalSemaphore();
  queued.WaitOnSemaphore(kInfinite);
  EXPECT_TRUE(PostThreadMessage(id, 1, 11, 111));
  EXPECT_TRUE(PostThreadMessage(id, 2, 22, 222));
  done.SignalSemaphore();
  target.join();
  // The queue goes with its thread.
  EXPECT_FALSE(PostThreadMessage(id, 3, 0, 0));
}

TEST(ThreadMessages, ManyPostersKeepTheirOwnOrder) {
  MessageQueue queue;
  std::vector<std::thread> posters;
  posters.reserve(4);
  for (uint32_t p = 0; p < 4; ++p) {
    posters.emplace_back([&queue, p] {
      for (uintptr_t i = 0; i < 1000; ++i) queue.Post({p, i, 0});
    });
  }
  uintptr_t next[4] = {0, 0, 0, 0};
  for (int n = 0; n < 4000; ++n) {
    const ThreadMessage msg = queue.Get();
    ASSERT_LT(msg.message, 4u);
    EXPECT_EQ(msg.wParam, next[msg.message]);
    next[msg.message] = msg.wParam + 1;
  }
  for (auto& t : posters) t.join();
  EXPECT_EQ(queue.Size(), 0u);
}

}  // namespace
}  // namespace dialvo
