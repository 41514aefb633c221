#include "base/CSem.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "base/ThreadId.h"

namespace dialvo {
namespace {

TEST(CSem, StartsTakenWithZeroAndOnlyInfiniteWaitsRecordTheirOwner) {
  CSem sem(0L);
  EXPECT_EQ(sem.WaitOnSemaphore(0), 0u);
  EXPECT_EQ(sem.WaitOnSemaphore(30), 0u);

  std::atomic<uint32_t> waiterId{0};
  std::atomic<bool> obtained{false};
  std::thread waiter([&] {
    waiterId = CurrentThreadId();
    obtained = sem.WaitOnSemaphore(kInfinite) == 1;
  });
  sem.SignalSemaphore();
  waiter.join();
  EXPECT_TRUE(obtained.load());
  EXPECT_NE(waiterId.load(), 0u);
  EXPECT_EQ(sem.Owner(), waiterId.load());
  // A finite wait of another thread on the held semaphore fails at once
  // without touching the owner.
  EXPECT_EQ(sem.WaitOnSemaphore(0), 0u);
  EXPECT_EQ(sem.Owner(), waiterId.load());
  sem.SignalSemaphore();
  EXPECT_EQ(sem.Owner(), 0u);
  // A finite wait that succeeds leaves the owner at 0.
  EXPECT_EQ(sem.WaitOnSemaphore(10), 1u);
  EXPECT_EQ(sem.Owner(), 0u);
}

TEST(CSem, IsBinaryReleaseOfAFreeSemaphoreDoesNotCount) {
  const std::string name = "csem-binary-" + std::to_string(getpid());
  CSem::Unlink(name.c_str());
  CSem unnamed;
  CSem named(name.c_str());
  for (CSem* sem : {&unnamed, &named}) {
    sem->SignalSemaphore();
    sem->SignalSemaphore();
    EXPECT_EQ(sem->WaitOnSemaphore(0), 1u) << (sem == &named);
    EXPECT_EQ(sem->WaitOnSemaphore(0), 0u) << (sem == &named);
  }
  CSem::Unlink(name.c_str());
}

TEST(CSem, NamedSemaphoreIsSharedWithOtherProcesses) {
  const std::string name = "csem-shared-" + std::to_string(getpid());
  CSem::Unlink(name.c_str());
  CSem mine(name.c_str());
  ASSERT_EQ(mine.WaitOnSemaphore(kInfinite), 1u);

  int seen[2];
  ASSERT_EQ(pipe(seen), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CSem theirs(name.c_str());
    int code = 0;
    if (theirs.WaitOnSemaphore(0) != 0) code |= 1;  // held by the parent
    if (write(seen[1], "x", 1) != 1) code |= 4;
    if (theirs.WaitOnSemaphore(10000) != 1) code |= 2;  // released by the parent
    theirs.SignalSemaphore();
    _exit(code);
  }
  // The child sees the semaphore held until the parent lets go.
  char byte = 0;
  ASSERT_EQ(read(seen[0], &byte, 1), 1);
  close(seen[0]);
  close(seen[1]);
  mine.SignalSemaphore();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(mine.WaitOnSemaphore(5000), 1u);
  CSem::Unlink(name.c_str());
}

TEST(CSem, WaiterMayDestroyTheSemaphoreAsSoonAsItIsSignalled) {
  // The hand-off of a decision: the waiter owns the semaphore on its stack
  // and lets it go the moment it obtains it, while the signaller may still
  // be inside SignalSemaphore.
  constexpr int kRounds = 2000;
  std::atomic<CSem*> shared{nullptr};
  std::thread signaller([&] {
    for (int i = 0; i < kRounds; ++i) {
      CSem* sem = nullptr;
      while ((sem = shared.exchange(nullptr)) == nullptr) std::this_thread::yield();
      sem->SignalSemaphore();
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    auto sem = std::make_unique<CSem>(0L);
    shared.store(sem.get());
    while (sem->WaitOnSemaphore(0) == 0) {
    }
  }
  signaller.join();
}

}  // namespace
}  // namespace dialvo
