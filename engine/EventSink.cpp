#include "engine/EventSink.h"

#include "audio/Recorder.h"

namespace dialvo {

int EventSink::PostEvent(uint32_t code, uintptr_t data) {
  if (window_ == nullptr || !window_->PostMessage(WM_ENGINE_EVENT, code, data)) {
    DropEvent(code, data);
  }
  return 1;
}

void EventSink::AddAudio(const void* pcm, uint32_t bytes, bool fromRemote) {
  std::shared_ptr<ConversationRecorder> recorder;
  {
    std::lock_guard lock(recorderMutex_);
    recorder = recorder_;
  }
  // The engine hands over its blocks of 16-bit samples.
  if (recorder != nullptr && pcm != nullptr) {
    recorder->AddAudio(static_cast<const int16_t*>(pcm), bytes / sizeof(int16_t), fromRemote);
  }
}

void EventSink::SetRecorder(std::shared_ptr<ConversationRecorder> recorder) {
  std::lock_guard lock(recorderMutex_);
  recorder_ = std::move(recorder);
}

ConversationRecorder* EventSink::Recorder() const {
  std::lock_guard lock(recorderMutex_);
  return recorder_.get();
}

}  // namespace dialvo
