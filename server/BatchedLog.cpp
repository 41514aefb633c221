#include "server/BatchedLog.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace dialvo::server {

BatchedLog::BatchedLog(int fd, int64_t flushEveryMs, size_t maxPending)
    : fd_(fd), flushEveryMs_(flushEveryMs), maxPending_(maxPending), writer_([this] { Run(); }) {}

BatchedLog::~BatchedLog() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  writer_.join();
}

void BatchedLog::Add(std::string_view line) {
  std::lock_guard lock(mutex_);
  if (pending_.size() + line.size() + 1 > maxPending_) {
    ++dropped_;
    return;
  }
  pending_ += line;
  pending_ += '\n';
}

LogSink BatchedLog::Sink() {
  return [this](std::string_view line) { Add(line); };
}

void BatchedLog::Run() {
  std::string batch;
  for (;;) {
    uint64_t dropped = 0;
    bool last = false;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, std::chrono::milliseconds(flushEveryMs_), [this] { return stopping_; });
      batch.swap(pending_);
      pending_.clear();
      dropped = dropped_;
      dropped_ = 0;
      last = stopping_;
    }
    if (dropped != 0) {
      batch += "log: " + std::to_string(dropped) + " lines dropped, the log could not keep up\n";
    }
    if (!batch.empty()) WriteAll(batch);
    batch.clear();
    if (last) return;
  }
}

void BatchedLog::WriteAll(const std::string& text) const {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to log to: the service goes on without
    done += static_cast<size_t>(n);
  }
}

}  // namespace dialvo::server
