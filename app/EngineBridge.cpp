#include "app/EngineBridge.h"

#include <cstring>

#include "app/PostedCall.h"

namespace dialvo {

PostedEngineEvent::~PostedEngineEvent() {
  if (data_ != 0) DropEvent(code_, data_);
}

uint64_t PostedEngineEvent::TakeBytes() {
  return bridge_ != nullptr ? bridge_->TakeBytes(code_) : 0;
}

uintptr_t PostedEngineEvent::TakeData() {
  const uintptr_t data = data_;
  data_ = 0;
  return data;
}

EngineBridge::EngineBridge(QObject* receiver, uint64_t generation, Handler handler)
    : generation_(generation), receiver_(receiver), handler_(std::move(handler)) {}

void EngineBridge::Detach() {
  std::lock_guard lock(mutex_);
  receiver_ = nullptr;
  handler_ = nullptr;
}

uint64_t EngineBridge::TakeBytes(uint32_t code) {
  Counter& counter = code == EV_BYTES_SENT ? sent_ : received_;
  // Reopen first: bytes added after the exchange then post a new event.
  counter.inFlight.store(false);
  return counter.pending.exchange(0);
}

bool EngineBridge::PostMessage(uint32_t message, uintptr_t wParam, uintptr_t lParam) {
  if (message != WM_ENGINE_EVENT) return false;
  const auto code = static_cast<uint32_t>(wParam);
  auto event = std::make_shared<PostedEngineEvent>(generation_, code, lParam);
  switch (code) {
    case EV_BYTES_SENT:
    case EV_BYTES_RECEIVED: {
      uint32_t bytes = 0;
      if (lParam != 0) bytes = reinterpret_cast<const ByteCountRecord*>(lParam)->bytes;
      FreeEventData(code, event->TakeData());
      Counter& counter = code == EV_BYTES_SENT ? sent_ : received_;
      counter.pending.fetch_add(bytes);
      if (counter.inFlight.exchange(true)) return true;  // the event in flight carries it
      event->bridge_ = shared_from_this();
      break;
    }
    case EV_CAPTURE_BUFFER:
    case EV_PLAYOUT_BUFFER: {
      const auto raw =
          (code == EV_CAPTURE_BUFFER ? CaptureEventBuffer() : PlayoutEventBuffer()).Read();
      event->block.resize(raw.size() / sizeof(int16_t));
      std::memcpy(event->block.data(), raw.data(), event->block.size() * sizeof(int16_t));
      event->TakeData();  // the shared buffer is the engine's
      break;
    }
    default:
      break;
  }
  Deliver(event);
  return true;
}

void EngineBridge::Deliver(const EngineEventPtr& event) {
  std::lock_guard lock(mutex_);
  if (receiver_ == nullptr || !handler_) {
    if (event->bridge_ != nullptr) TakeBytes(event->Code());
    return;  // event's destructor drops its record
  }
  // A posted call keeps the order of posting; if the receiver dies first,
  // Qt destroys the call and with it the event, which drops its record.
  Handler handler = handler_;
  PostCall(receiver_, [handler, event] { handler(event); });
}

}  // namespace dialvo
