#include "base/Swmrg.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "base/CSem.h"
#include "base/Tick.h"

namespace dialvo {

// The whole guard in one block, so that a named guard can live in shared
// memory: the mutex guards every field, the condition wakes all waiters.
struct SWMRG::State {
  pthread_mutex_t mutex;
  pthread_cond_t changed;
  pid_t writer;                 // kernel thread id of the writer, 0 when none
  uint32_t writerDepth;         // recursion of the writer
  uint32_t readers;             // readers inside
  std::atomic<uint32_t> ready;  // set once the creator has initialised the block
};

namespace {

constexpr const char* kPrefixes[] = {"SWMRGMutexNoWriter", "SWMRGEventNoReaders",
                                     "SWMRGSemNumReaders"};
constexpr size_t kMaxObjectName = 100;

pid_t SelfTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void InitState(SWMRG::State* s, bool shared) {
  pthread_mutexattr_t ma;
  pthread_mutexattr_init(&ma);
  pthread_condattr_t ca;
  pthread_condattr_init(&ca);
  pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
  if (shared) {
    pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
    pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
  }
  pthread_mutex_init(&s->mutex, &ma);
  pthread_cond_init(&s->changed, &ca);
  pthread_mutexattr_destroy(&ma);
  pthread_condattr_destroy(&ca);
  s->writer = 0;
  s->writerDepth = 0;
  s->readers = 0;
}

// Waits on the state's condition until pred holds; false on time-out.
template <typename Pred>
bool WaitUntil(SWMRG::State* s, uint32_t timeoutMs, Pred pred) {
  if (timeoutMs == kInfinite) {
    while (!pred()) pthread_cond_wait(&s->changed, &s->mutex);
    return true;
  }
  const timespec deadline = MonotonicDeadline(timeoutMs);
  while (!pred()) {
    if (pthread_cond_timedwait(&s->changed, &s->mutex, &deadline) == ETIMEDOUT) return pred();
  }
  return true;
}

}  // namespace

bool SWMRG::Initialize(const char* name) {
  Delete();
  if (name == nullptr) {
    state_ = new State;
    InitState(state_, false);
    state_->ready.store(1);
    shared_ = false;
    return true;
  }
  for (const char* prefix : kPrefixes) {
    if (std::strlen(prefix) + std::strlen(name) >= kMaxObjectName) return false;
  }
  const std::string sys = SystemObjectName("swmrg", name);
  bool creator = true;
  int fd = shm_open(sys.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0 && errno == EEXIST) {
    creator = false;
    fd = shm_open(sys.c_str(), O_RDWR, 0600);
  }
  if (fd < 0) return false;
  if (creator && ftruncate(fd, sizeof(State)) != 0) {
    close(fd);
    shm_unlink(sys.c_str());
    return false;
  }
  // Another process may have created the object without sizing it yet.
  struct stat st {};
  for (int i = 0; i < 1000 && fstat(fd, &st) == 0 && st.st_size < static_cast<off_t>(sizeof(State));
       ++i) {
    usleep(1000);
  }
  void* mem = mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (mem == MAP_FAILED) return false;
  auto* s = static_cast<State*>(mem);
  if (creator) {
    new (&s->ready) std::atomic<uint32_t>(0);
    InitState(s, true);
    s->ready.store(1, std::memory_order_release);
  } else {
    for (int i = 0; i < 1000 && s->ready.load(std::memory_order_acquire) == 0; ++i) usleep(1000);
    if (s->ready.load(std::memory_order_acquire) == 0) {
      munmap(mem, sizeof(State));
      return false;
    }
  }
  state_ = s;
  shared_ = true;
  return true;
}

void SWMRG::Delete() {
  if (state_ == nullptr) return;
  if (shared_) {
    munmap(state_, sizeof(State));
  } else {
    pthread_cond_destroy(&state_->changed);
    pthread_mutex_destroy(&state_->mutex);
    delete state_;
  }
  state_ = nullptr;
}

void SWMRG::Unlink(const char* name) { shm_unlink(SystemObjectName("swmrg", name).c_str()); }

uint32_t SWMRG::WaitToWrite(uint32_t timeoutMs) {
  if (state_ == nullptr) return kWaitFailed;
  State* s = state_;
  const pid_t self = SelfTid();
  pthread_mutex_lock(&s->mutex);
  const bool entered = WaitUntil(
      s, timeoutMs, [s, self] { return (s->writer == 0 || s->writer == self) && s->readers == 0; });
  if (entered) {
    s->writer = self;
    ++s->writerDepth;
  }
  pthread_mutex_unlock(&s->mutex);
  return entered ? kWaitObject0 : kWaitTimeout;
}

void SWMRG::DoneWriting() {
  if (state_ == nullptr) return;
  State* s = state_;
  pthread_mutex_lock(&s->mutex);
  if (s->writer == SelfTid() && s->writerDepth > 0 && --s->writerDepth == 0) {
    s->writer = 0;
    pthread_cond_broadcast(&s->changed);
  }
  pthread_mutex_unlock(&s->mutex);
}

uint32_t SWMRG::WaitToRead(uint32_t timeoutMs) {
  if (state_ == nullptr) return kWaitFailed;
  State* s = state_;
  const pid_t self = SelfTid();
  pthread_mutex_lock(&s->mutex);
  const bool entered =
      WaitUntil(s, timeoutMs, [s, self] { return s->writer == 0 || s->writer == self; });
  if (entered) ++s->readers;
  pthread_mutex_unlock(&s->mutex);
  return entered ? kWaitObject0 : kWaitTimeout;
}

void SWMRG::DoneReading() {
  if (state_ == nullptr) return;
  State* s = state_;
  const pid_t self = SelfTid();
  pthread_mutex_lock(&s->mutex);
  // A reader leaves only while no other thread writes, as it registered.
  WaitUntil(s, kInfinite, [s, self] { return s->writer == 0 || s->writer == self; });
  if (s->readers > 0 && --s->readers == 0) pthread_cond_broadcast(&s->changed);
  pthread_mutex_unlock(&s->mutex);
}

}  // namespace dialvo
