#pragma once
// Per-thread message queues: a thread gets a queue when it first peeks or
// waits for messages; others post (message, wParam, lParam) to it by thread id.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

namespace dialvo {

// Message numbers of the user range start here.
inline constexpr uint32_t kUserMessageBase = 0x400;

struct ThreadMessage {
  uint32_t message = 0;
  uintptr_t wParam = 0;
  uintptr_t lParam = 0;
};

// A thread-safe FIFO of messages, usable on its own as a window's queue.
class MessageQueue {
 public:
  void Post(const ThreadMessage& msg);
  // Blocks until a message is there and removes it.
  ThreadMessage Get();
  // Waits up to timeoutMs; nullopt on time-out.
  std::optional<ThreadMessage> GetFor(uint32_t timeoutMs);
  std::optional<ThreadMessage> TryGet();
  // The next waiting message, left in the queue.
  std::optional<ThreadMessage> PeekNext() const;
  size_t Size() const;

 private:
  mutable std::mutex mutex_;  // guards messages_; taken by posters and the owner
  std::condition_variable cv_;
  std::deque<ThreadMessage> messages_;
};

// Posts to the queue of thread threadId; false when that thread has no queue
// (it never peeked or waited, or it has ended).
bool PostThreadMessage(uint32_t threadId, uint32_t message, uintptr_t wParam, uintptr_t lParam);

// Non-removing peek: creates the calling thread's queue if needed and tells
// whether a message is waiting.
bool PeekMessage();
// The calling thread's queue, created if needed.
MessageQueue& CurrentMessageQueue();
// Blocking get on the calling thread's queue.
ThreadMessage GetMessage();
// Get with a time-out; nullopt when nothing came.
std::optional<ThreadMessage> GetMessage(uint32_t timeoutMs);
// The next waiting message of the calling thread, left in place.
std::optional<ThreadMessage> PeekNextMessage();

}  // namespace dialvo
