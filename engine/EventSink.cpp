#include "engine/EventSink.h"

namespace dialvo {

int EventSink::PostEvent(uint32_t code, uintptr_t data) {
  if (window_ == nullptr || !window_->PostMessage(WM_ENGINE_EVENT, code, data)) {
    DropEvent(code, data);
  }
  return 1;
}

void EventSink::AddAudio(const void* /*pcm*/, uint32_t /*bytes*/, bool /*fromRemote*/) {}

}  // namespace dialvo
