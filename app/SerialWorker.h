#pragma once
// A thread that runs posted jobs one after another, so that work which may
// block (service requests) never runs on the GUI thread and never overlaps.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace dialvo {

class SerialWorker {
 public:
  explicit SerialWorker(std::string name);
  ~SerialWorker();  // runs what is queued, then ends
  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;

  // Any thread. Ignored once Stop has been called.
  void Post(std::function<void()> job);
  // Runs what is queued and waits for the thread to end.
  void Stop();
  // True while a job runs or waits.
  bool Busy() const;
  const std::string& Name() const { return name_; }

 private:
  void Run();

  const std::string name_;
  // Guards jobs_, running_ and stopping_; taken by posting threads and the worker.
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool running_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace dialvo
