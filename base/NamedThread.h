#pragma once
// A thread object that keeps its name and entry, can hand over readiness to
// the starter, and may delete itself when its thread ends.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/CSem.h"

namespace dialvo {

class NamedThread {
 public:
  using Entry = std::function<uint32_t(void* parameter)>;

  NamedThread(Entry entry, void* parameter, std::string name, bool selfDelete);
  // Waits for a thread that is still running: its entry may use the object.
  ~NamedThread();
  NamedThread(const NamedThread&) = delete;
  NamedThread& operator=(const NamedThread&) = delete;

  // Starts the thread once. With waitUntilReady, returns only after the entry
  // has called ReleaseStartSemaphore (or has returned). False if the thread
  // could not be created or was started before.
  bool Start(bool waitUntilReady);
  // -1 at once when the thread never started or has ended; otherwise waits
  // up to timeoutMs (kInfinite allowed) and returns kWaitObject0 when it
  // ended, kWaitTimeout when it did not.
  int32_t Wait(uint32_t timeoutMs);
  // Gives the thread's resources back once it has ended.
  void Close();

  // Called by the entry when it is ready (after it has made its message queue).
  void ReleaseStartSemaphore();
  // The NamedThread whose entry runs on the calling thread, or null.
  static NamedThread* Current();

  bool IsRunning() const;
  // NamedThread objects alive in the process (shows that self-deleting ones
  // are gone, and that nothing leaks thread objects).
  static int LiveObjects();
  const std::string& Name() const { return name_; }
  uint32_t ThreadId() const;

 private:
  void Trampoline();

  const Entry entry_;
  void* const parameter_;
  const std::string name_;
  const bool selfDelete_;

  mutable std::mutex mutex_;  // guards the fields below; taken by the owner and the thread
  std::condition_variable ended_;
  bool running_ = false;      // the entry function is executing
  bool handleValid_ = false;  // started and not yet ended
  bool started_ = false;
  bool starterDone_ = false;  // Start has stopped using the object
  uint32_t threadId_ = 0;
  std::unique_ptr<CSem> startSemaphore_;  // only while a starter waits for readiness
  std::thread thread_;
};

}  // namespace dialvo
