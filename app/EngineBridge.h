#pragma once
// Carries one engine's events to the GUI thread as queued calls, in the order
// they were posted. One bridge serves one engine (one generation): events of
// an engine that has been replaced are recognised by their generation.
//
// The bridge also keeps the event stream bounded and safe to read late:
//  - byte counters are summed here and at most one event per counter is in
//    flight, whatever the traffic;
//  - the level blocks travel as copies taken when the engine posted them;
//  - an event that is never handled (its receiver is gone) frees its record
//    and turns its caller away.
#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/EngineEvents.h"

namespace dialvo {

class EngineBridge;

// One engine event on its way to the GUI thread.
class PostedEngineEvent {
 public:
  PostedEngineEvent(uint64_t generation, uint32_t code, uintptr_t data)
      : generation_(generation), code_(code), data_(data) {}
  ~PostedEngineEvent();
  PostedEngineEvent(const PostedEngineEvent&) = delete;
  PostedEngineEvent& operator=(const PostedEngineEvent&) = delete;

  uint64_t Generation() const { return generation_; }
  uint32_t Code() const { return code_; }
  uintptr_t Data() const { return data_; }
  // Hands the record over to the handler, who frees it.
  uintptr_t TakeData();

  // EV_CAPTURE_BUFFER / EV_PLAYOUT_BUFFER: the block as it was when posted.
  std::vector<int16_t> block;
  // EV_BYTES_SENT / EV_BYTES_RECEIVED: the bytes summed since the last
  // counter event was handled.
  uint64_t TakeBytes();

 private:
  friend class EngineBridge;
  const uint64_t generation_;
  const uint32_t code_;
  uintptr_t data_;
  std::shared_ptr<EngineBridge> bridge_;  // for the byte counters
};

using EngineEventPtr = std::shared_ptr<PostedEngineEvent>;

class EngineBridge final : public IWindowTarget, public std::enable_shared_from_this<EngineBridge> {
 public:
  using Handler = std::function<void(const EngineEventPtr&)>;
  // handler runs on receiver's thread for each event (the receiver's
  // event() runs posted calls: see PostedCall.h). The receiver must call
  // Detach before it is destroyed.
  EngineBridge(QObject* receiver, uint64_t generation, Handler handler);

  bool PostMessage(uint32_t message, uintptr_t wParam, uintptr_t lParam) override;
  // From now on events are dropped (freed, callers turned away).
  void Detach();
  uint64_t Generation() const { return generation_; }

  // On the receiver's thread: the bytes summed for an in-flight counter
  // event, reopening the counter for the next one.
  uint64_t TakeBytes(uint32_t code);

 private:
  void Deliver(const EngineEventPtr& event);

  const uint64_t generation_;
  // Guards receiver_ and handler_; taken by every engine thread that posts
  // and by Detach on the GUI thread.
  std::mutex mutex_;
  QObject* receiver_;
  Handler handler_;
  struct Counter {
    std::atomic<uint64_t> pending{0};
    std::atomic<bool> inFlight{false};
  };
  Counter sent_;
  Counter received_;
};

}  // namespace dialvo
