#include "server/WorkPool.h"

#include <algorithm>

namespace dialvo::server {

WorkPool::WorkPool(unsigned threads, size_t queueCap) : queueCap_(std::max<size_t>(queueCap, 1)) {
  threads_.reserve(std::max(threads, 1u));
  for (unsigned i = 0; i < std::max(threads, 1u); ++i) threads_.emplace_back([this] { Run(); });
}

WorkPool::~WorkPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  for (auto& thread : threads_) thread.join();
}

bool WorkPool::Submit(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || queue_.size() >= queueCap_) return false;
    queue_.push_back(std::move(job));
  }
  ready_.notify_one();
  return true;
}

size_t WorkPool::Queued() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

void WorkPool::Run() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      // Queued jobs still run when stopping: each owes someone an answer.
      if (queue_.empty()) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job();
  }
}

}  // namespace dialvo::server
