#pragma once
// The application's half of an engine: posts the engine's events to a window
// and takes the conversation's audio for recording.
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/EngineEvents.h"

namespace dialvo {

class ConversationRecorder;
class NetCore;

class EventSink {
 public:
  explicit EventSink(IWindowTarget* window) : window_(window) {}
  virtual ~EventSink() = default;
  EventSink(const EventSink&) = delete;
  EventSink& operator=(const EventSink&) = delete;

  // Posts WM_ENGINE_EVENT (code, data) to the window; never waits. If the
  // window is gone, the event is dropped (records freed, callers turned away).
  int PostEvent(uint32_t code, uintptr_t data);
  template <typename T>
  int PostEvent(uint32_t code, T* data) {
    return PostEvent(code, reinterpret_cast<uintptr_t>(data));
  }

  // One block of the conversation (16-bit samples): sent by the local user
  // (fromRemote false) or played to him (true). The engine's capture and
  // playback threads call it while its recording flag is set; it goes to the
  // recorder, if there is one.
  virtual void AddAudio(const void* pcm, uint32_t bytes, bool fromRemote);

  // The recorder that takes the blocks (null: they are dropped). May be set
  // or replaced at any time; the sink keeps a share of it, so a block being
  // added never finds it gone.
  void SetRecorder(std::shared_ptr<ConversationRecorder> recorder);
  ConversationRecorder* Recorder() const;

  // The engine this sink serves (the recording is named after its session).
  void SetEngine(NetCore* engine) { engine_ = engine; }
  NetCore* Engine() const { return engine_; }

 private:
  IWindowTarget* const window_;
  NetCore* engine_ = nullptr;
  // Guards recorder_ (not the recorder, which has its own lock); taken by
  // the voice threads in AddAudio and the owner setting or reading it.
  mutable std::mutex recorderMutex_;
  std::shared_ptr<ConversationRecorder> recorder_;
};

}  // namespace dialvo
