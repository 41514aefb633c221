#include "base/CSem.h"

#include <fcntl.h>
#include <semaphore.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "base/ThreadId.h"
#include "base/Tick.h"

namespace dialvo {

std::string SystemObjectName(const std::string& kind, const std::string& name) {
  // One namespace per user; '/' is the only character POSIX names forbid.
  std::string out = "/dialvo." + std::to_string(getuid()) + "." + kind + ".";
  for (char c : name) out += (c == '/') ? '_' : c;
  return out;
}

CSem::CSem() = default;

CSem::CSem(long initialCount) : count_(initialCount > 0 ? 1 : 0) {}

CSem::CSem(const char* name) {
  const std::string sys = SystemObjectName("sem", name ? name : "");
  sem_t* s = sem_open(sys.c_str(), O_CREAT, 0600, 1);
  if (s != SEM_FAILED) named_ = s;
  // On failure the object falls back to a private semaphore, like an unnamed one.
}

CSem::~CSem() {
  if (named_ != nullptr) sem_close(named_);
}

void CSem::Unlink(const char* name) {
  sem_unlink(SystemObjectName("sem", name ? name : "").c_str());
}

bool CSem::Acquire(uint32_t timeoutMs) {
  if (named_ != nullptr) {
    if (timeoutMs == kInfinite) {
      int rc;
      while ((rc = sem_wait(named_)) != 0 && errno == EINTR) {
      }
      return rc == 0;
    }
    const timespec deadline = MonotonicDeadline(timeoutMs);
    int rc;
    while ((rc = sem_clockwait(named_, CLOCK_MONOTONIC, &deadline)) != 0 && errno == EINTR) {
    }
    return rc == 0;
  }
  std::unique_lock lock(mutex_);
  if (timeoutMs == kInfinite) {
    cv_.wait(lock, [this] { return count_ > 0; });
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return count_ > 0; })) {
    return false;
  }
  count_ = 0;
  return true;
}

uint32_t CSem::WaitOnSemaphore(uint32_t timeoutMs) {
  if (!Acquire(timeoutMs)) return 0;
  if (timeoutMs == kInfinite) owner_.store(CurrentThreadId(), std::memory_order_relaxed);
  return 1;
}

void CSem::SignalSemaphore() {
  owner_.store(0, std::memory_order_relaxed);
  if (named_ != nullptr) {
    int value = 0;
    // Keeps the maximum count of 1; two racing releases may still both post,
    // which the platform's semaphore would have refused for the second.
    if (sem_getvalue(named_, &value) == 0 && value >= 1) return;
    sem_post(named_);
    return;
  }
  // Notify before letting go of the mutex: a waiter that obtains the
  // semaphore may destroy it at once (a decision hand-off on its stack).
  std::lock_guard lock(mutex_);
  count_ = 1;
  cv_.notify_one();
}

SemHandle CSem::GetHandle() const {
  if (named_ != nullptr) return named_;
  return this;
}

}  // namespace dialvo
