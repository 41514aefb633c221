#pragma once
// The application's half of an engine: posts the engine's events to a window
// and takes the conversation's audio for recording.
#include <cstdint>

#include "engine/EngineEvents.h"

namespace dialvo {

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

  // One block of the conversation: sent by the local user (fromRemote false)
  // or played to him (true). Recording overrides it.
  virtual void AddAudio(const void* pcm, uint32_t bytes, bool fromRemote);

  // The engine this sink serves (the recording is named after its session).
  void SetEngine(NetCore* engine) { engine_ = engine; }
  NetCore* Engine() const { return engine_; }

 private:
  IWindowTarget* const window_;
  NetCore* engine_ = nullptr;
};

}  // namespace dialvo
