#pragma once
// The capture device: a ring of five one-block buffers on the default input
// of a sound backend, delivered to one consumer thread as MM_WIM_DATA.
//
// Contract with the consumer thread:
// 1. Make sure the thread has a message queue (PeekMessage) before Open.
// 2. On MM_WIM_DATA look at the header at CurrentIndex() (not at the one the
//    message names): if it is done, copy CurrentBuffer() and call
//    ReleaseBuffer; otherwise ignore the message.
// 3. To end, call Stop, then Close.
// Four buffers are always with the device while one rests, so a released
// buffer keeps its data until the next release. No lock: every call comes
// from the consumer thread (Close may come from another one once the
// consumer has ended).
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "audio/WaveBuffers.h"
#include "audio/WaveDevice.h"

namespace dialvo {

class WaveIn {
 public:
  static constexpr uint32_t kBufferCount = WaveBuffers::kCount;

  // Every caller passes 1600, 8000, 1, 16. Without a backend, Open uses the
  // process default (DefaultSoundBackend) of that moment.
  WaveIn(uint32_t samplesPerBuffer, uint32_t sampleRate, uint32_t channels, uint32_t bitsPerSample,
         std::shared_ptr<SoundBackend> backend = nullptr);
  ~WaveIn();
  WaveIn(const WaveIn&) = delete;
  WaveIn& operator=(const WaveIn&) = delete;

  // 1 when capturing into the consumer thread's queue, 0 when the format is
  // not supported or the device could not be opened in kWaveOpenAttempts tries
  // kWaveOpenRetryMs apart (by the backend's clock).
  int Open(uint32_t threadId);
  // Gives the buffer at the current index back and requeues the previous
  // one; returns 1.
  int ReleaseBuffer();
  // Stops requeueing and has the device hand back every queued buffer.
  void Stop();
  void Close();

  uint32_t CurrentIndex() const { return current_; }
  bool IsCurrentDone() const { return buffers_.Header(current_).IsDone(); }
  std::span<const uint8_t> CurrentBuffer() const { return buffers_.Buffer(current_); }
  const WaveHeader& Header(uint32_t index) const { return buffers_.Header(index); }
  uint32_t BufferBytes() const { return buffers_.Bytes(); }
  // 0 while open, 2 before the first Open and after Close, else the error.
  uint32_t OpenResult() const { return openResult_; }
  // Why the last Open failed, for a trace or the user.
  const std::string& LastOpenError() const { return lastOpenError_; }

 private:
  void Queue(uint32_t index);

  WaveBuffers buffers_;
  uint32_t current_ = 0;
  uint32_t stop_ = 0;
  uint32_t openResult_ = kMmBadDeviceId;
  std::shared_ptr<SoundBackend> backend_;
  std::unique_ptr<WaveInDevice> device_;  // null when closed
  std::string lastOpenError_;
};

}  // namespace dialvo
