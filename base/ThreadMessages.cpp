#include "base/ThreadMessages.h"

#include <chrono>
#include <unordered_map>

#include "base/ThreadId.h"

namespace dialvo {

void MessageQueue::Post(const ThreadMessage& msg) {
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(msg);
  }
  cv_.notify_one();
}

ThreadMessage MessageQueue::Get() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return !messages_.empty(); });
  ThreadMessage msg = messages_.front();
  messages_.pop_front();
  return msg;
}

std::optional<ThreadMessage> MessageQueue::GetFor(uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                    [this] { return !messages_.empty(); })) {
    return std::nullopt;
  }
  ThreadMessage msg = messages_.front();
  messages_.pop_front();
  return msg;
}

std::optional<ThreadMessage> MessageQueue::TryGet() {
  std::lock_guard lock(mutex_);
  if (messages_.empty()) return std::nullopt;
  ThreadMessage msg = messages_.front();
  messages_.pop_front();
  return msg;
}

std::optional<ThreadMessage> MessageQueue::PeekNext() const {
  std::lock_guard lock(mutex_);
  if (messages_.empty()) return std::nullopt;
  return messages_.front();
}

size_t MessageQueue::Size() const {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

namespace {

// All live thread queues by thread id.
class Registry {
 public:
  static Registry& Instance() {
    // Never destroyed: threads may still end after static destruction began.
    static Registry* registry = new Registry;
    return *registry;
  }
  void Add(uint32_t id, std::shared_ptr<MessageQueue> queue) {
    std::lock_guard lock(mutex_);
    queues_[id] = std::move(queue);
  }
  void Remove(uint32_t id) {
    std::lock_guard lock(mutex_);
    queues_.erase(id);
  }
  std::shared_ptr<MessageQueue> Find(uint32_t id) {
    std::lock_guard lock(mutex_);
    auto it = queues_.find(id);
    return it == queues_.end() ? nullptr : it->second;
  }

 private:
  std::mutex mutex_;  // guards queues_; taken by posters and by threads creating or ending queues
  std::unordered_map<uint32_t, std::shared_ptr<MessageQueue>> queues_;
};

// Owns the calling thread's queue and withdraws it when the thread ends.
struct ThreadQueueHolder {
  std::shared_ptr<MessageQueue> queue;
  uint32_t id = 0;
  ~ThreadQueueHolder() {
    if (queue) Registry::Instance().Remove(id);
  }
};

thread_local ThreadQueueHolder tlsQueue;

}  // namespace

MessageQueue& CurrentMessageQueue() {
  if (!tlsQueue.queue) {
    tlsQueue.queue = std::make_shared<MessageQueue>();
    tlsQueue.id = CurrentThreadId();
    Registry::Instance().Add(tlsQueue.id, tlsQueue.queue);
  }
  return *tlsQueue.queue;
}

bool PostThreadMessage(uint32_t threadId, uint32_t message, uintptr_t wParam, uintptr_t lParam) {
  std::shared_ptr<MessageQueue> queue = Registry::Instance().Find(threadId);
  if (!queue) return false;
  queue->Post({message, wParam, lParam});
  return true;
}

bool PeekMessage() { return CurrentMessageQueue().Size() > 0; }

ThreadMessage GetMessage() { return CurrentMessageQueue().Get(); }

std::optional<ThreadMessage> GetMessage(uint32_t timeoutMs) {
  return CurrentMessageQueue().GetFor(timeoutMs);
}

std::optional<ThreadMessage> PeekNextMessage() { return CurrentMessageQueue().PeekNext(); }

}  // namespace dialvo
