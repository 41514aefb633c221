#pragma once
// A few threads for work too slow for an HTTP thread (Argon2id), with a
// bounded queue: when it is full, Submit refuses at once instead of letting
// requests pile up behind a guessing flood.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace dialvo::server {

class WorkPool {
 public:
  WorkPool(unsigned threads, size_t queueCap);
  ~WorkPool();  // runs what is queued, then joins
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  // False, without running it, when the queue is full or the pool stopping.
  bool Submit(std::function<void()> job);
  size_t Queued() const;

 private:
  void Run();

  const size_t queueCap_;
  // Guards queue_ and stopping_; taken by submitters and the workers.
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace dialvo::server
