#include "base/NamedThread.h"

#include <atomic>
#include <chrono>
#include <system_error>

#include "base/ThreadId.h"

namespace dialvo {

namespace {
thread_local NamedThread* tlsCurrent = nullptr;
std::atomic<int> liveObjects{0};
}  // namespace

int NamedThread::LiveObjects() { return liveObjects.load(); }

NamedThread::NamedThread(Entry entry, void* parameter, std::string name, bool selfDelete)
    : entry_(std::move(entry)),
      parameter_(parameter),
      name_(std::move(name)),
      selfDelete_(selfDelete) {
  liveObjects.fetch_add(1);
}

NamedThread::~NamedThread() {
  liveObjects.fetch_sub(1);
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    thread = std::move(thread_);
  }
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

bool NamedThread::Start(bool waitUntilReady) {
  CSem* ready = nullptr;
  uint32_t id = ReserveThreadId();
  {
    std::lock_guard lock(mutex_);
    if (started_) return false;
    started_ = true;
    handleValid_ = true;
    threadId_ = id;
    if (waitUntilReady) {
      startSemaphore_ = std::make_unique<CSem>(0L);
      ready = startSemaphore_.get();
    }
  }
  std::thread thread;
  try {
    thread = std::thread([this, id] {
      AdoptThreadId(id);
      Trampoline();
    });
  } catch (const std::system_error&) {
    std::lock_guard lock(mutex_);
    handleValid_ = false;
    startSemaphore_.reset();
    starterDone_ = true;
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    if (selfDelete_) {
      thread.detach();
    } else {
      thread_ = std::move(thread);
    }
  }
  if (ready != nullptr) ready->WaitOnSemaphore(kInfinite);
  std::lock_guard lock(mutex_);
  startSemaphore_.reset();
  starterDone_ = true;
  ended_.notify_all();  // a self-deleting thread waits for this before it frees the object
  return true;
}

void NamedThread::ReleaseStartSemaphore() {
  std::lock_guard lock(mutex_);
  if (startSemaphore_) startSemaphore_->SignalSemaphore();
}

NamedThread* NamedThread::Current() { return tlsCurrent; }

void NamedThread::Trampoline() {
  tlsCurrent = this;
  {
    std::lock_guard lock(mutex_);
    running_ = true;
  }
  entry_(parameter_);
  std::unique_lock lock(mutex_);
  running_ = false;
  // An entry that returned without signalling readiness must not leave its
  // starter blocked for ever.
  if (startSemaphore_) startSemaphore_->SignalSemaphore();
  handleValid_ = false;
  ended_.notify_all();
  tlsCurrent = nullptr;
  if (selfDelete_) {
    ended_.wait(lock, [this] { return starterDone_; });
    lock.unlock();
    delete this;
  }
}

int32_t NamedThread::Wait(uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  if (!handleValid_) return -1;
  if (tlsCurrent == this) return static_cast<int32_t>(kWaitTimeout);  // would wait for itself
  if (timeoutMs == kInfinite) {
    ended_.wait(lock, [this] { return !handleValid_; });
    return static_cast<int32_t>(kWaitObject0);
  }
  if (ended_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [this] { return !handleValid_; })) {
    return static_cast<int32_t>(kWaitObject0);
  }
  return static_cast<int32_t>(kWaitTimeout);
}

void NamedThread::Close() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    if (handleValid_ || tlsCurrent == this) return;  // still running: nothing to give back yet
    thread = std::move(thread_);
  }
  if (thread.joinable()) thread.join();
}

bool NamedThread::IsRunning() const {
  std::lock_guard lock(mutex_);
  return running_;
}

uint32_t NamedThread::ThreadId() const {
  std::lock_guard lock(mutex_);
  return threadId_;
}

}  // namespace dialvo
