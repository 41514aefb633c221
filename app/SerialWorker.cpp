#include "app/SerialWorker.h"

namespace dialvo {

SerialWorker::SerialWorker(std::string name) : name_(std::move(name)), thread_([this] { Run(); }) {}

SerialWorker::~SerialWorker() { Stop(); }

void SerialWorker::Post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void SerialWorker::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

bool SerialWorker::Busy() const {
  std::lock_guard lock(mutex_);
  return running_ || !jobs_.empty();
}

void SerialWorker::Run() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      running_ = false;
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // stopping, nothing left
      job = std::move(jobs_.front());
      jobs_.pop_front();
      running_ = true;
    }
    job();
  }
}

}  // namespace dialvo
