#pragma once
// Binary semaphore used as a lock and as a one-shot signal. A named one is
// shared with every process of the same user that opens the same name.
#include <semaphore.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/Wait.h"

namespace dialvo {

using SemHandle = const void*;

class CSem {
 public:
  CSem();                            // free (count 1)
  explicit CSem(long initialCount);  // 0: starts taken, 1: free
  explicit CSem(const char* name);   // free when first created
  ~CSem();
  // Two objects sharing one handle invites a double close; nothing needs it.
  CSem(const CSem&) = delete;
  CSem& operator=(const CSem&) = delete;

  // Finite time-out: 1 when obtained in time, else 0; the owner is untouched.
  // kInfinite: blocks until obtained, records the caller as owner, returns 1
  // (0 only if the wait itself fails).
  uint32_t WaitOnSemaphore(uint32_t timeoutMs);
  // Releases; a release of a free semaphore leaves it free (maximum count 1).
  void SignalSemaphore();
  SemHandle GetHandle() const;
  uint32_t Owner() const { return owner_.load(std::memory_order_relaxed); }

  // Removes a named semaphore from the system so that the next open creates
  // it afresh (objects already open keep theirs).
  static void Unlink(const char* name);

 private:
  bool Acquire(uint32_t timeoutMs);

  // Unnamed: count guarded by mutex_, waiters on cv_.
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_ = 1;
  sem_t* named_ = nullptr;  // set for a named semaphore
  std::atomic<uint32_t> owner_{0};
};

// Scoped hold of a CSem with an infinite wait.
class CSemLock {
 public:
  explicit CSemLock(CSem& sem) : sem_(sem) { sem_.WaitOnSemaphore(kInfinite); }
  ~CSemLock() { sem_.SignalSemaphore(); }
  CSemLock(const CSemLock&) = delete;
  CSemLock& operator=(const CSemLock&) = delete;

 private:
  CSem& sem_;
};

// Maps a name to the system-wide object name used for it.
std::string SystemObjectName(const std::string& kind, const std::string& name);

}  // namespace dialvo
