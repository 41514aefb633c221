#pragma once
// The request log, written by a thread of its own in batches: a request
// thread only appends its line to memory, so logging costs no system call
// per request and a slow or blocked stderr never holds an answer back. Lines
// wait at most flushEveryMs; when more than maxPending bytes are waiting,
// further lines are counted and the count is written in their place.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "server/HttpServer.h"

namespace dialvo::server {

class BatchedLog {
 public:
  explicit BatchedLog(int fd, int64_t flushEveryMs = 200, size_t maxPending = 4 << 20);
  // Writes what is still waiting.
  ~BatchedLog();
  BatchedLog(const BatchedLog&) = delete;
  BatchedLog& operator=(const BatchedLog&) = delete;

  void Add(std::string_view line);
  // A sink for HttpServer; it must not outlive this object.
  LogSink Sink();

 private:
  void Run();
  void WriteAll(const std::string& text) const;

  const int fd_;
  const int64_t flushEveryMs_;
  const size_t maxPending_;
  // Guards pending_, dropped_ and stopping_; held only to append or swap.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string pending_;
  uint64_t dropped_ = 0;
  bool stopping_ = false;
  std::thread writer_;  // last: starts once the rest is ready
};

}  // namespace dialvo::server
