#pragma once
// The playback device: blocks are copied into a ring of five buffers and
// handed to the default output of a sound backend; each played buffer is
// reported to one owner thread as MM_WOM_DONE, and the owner answers each
// with BufferDone.
//
// The ring holds at most four buffers at the device: it is full when
// (tail + 1) % 5 == head. Write may come from another thread than the owner,
// so Write and BufferDone take the object itself, a CSem, as the ring's lock.
// Stop and Close take no lock: the owner calls them after writing has ended.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "audio/WaveBuffers.h"
#include "audio/WaveDevice.h"
#include "base/CSem.h"

namespace dialvo {

class WaveOut : public CSem {
 public:
  static constexpr uint32_t kBufferCount = WaveBuffers::kCount;

  // Every caller passes 1600, 8000, 1, 16. Without a backend, Open uses the
  // process default (DefaultSoundBackend) of that moment.
  WaveOut(uint32_t samplesPerBuffer, uint32_t sampleRate, uint32_t channels, uint32_t bitsPerSample,
          std::shared_ptr<SoundBackend> backend = nullptr);
  ~WaveOut();
  WaveOut(const WaveOut&) = delete;
  WaveOut& operator=(const WaveOut&) = delete;

  // 1 when open for the owner thread's queue; 0 when the format is not
  // supported or kWaveOpenAttempts tries kWaveOpenRetryMs apart failed (after each
  // failed try the program's own sound is stopped, as it may hold the device).
  int Open(uint32_t threadId);
  // Copies one block (BufferBytes() bytes) into the ring and queues it: 1, or
  // 0 when the ring is full or the block too short (nothing queued then).
  int Write(std::span<const uint8_t> block);
  int Write(std::span<const int16_t> samples);
  // Once per MM_WOM_DONE: frees the oldest slot. Returns 1.
  int BufferDone();
  // Has the device hand back every queued buffer at once.
  void Stop();
  // Empties the ring (head and tail to 0) and closes the device.
  void Close();

  // Snapshots taken under the ring's lock.
  uint32_t Head();
  uint32_t Tail();
  uint32_t Outstanding();
  const WaveHeader& Header(uint32_t index) const { return buffers_.Header(index); }
  uint32_t BufferBytes() const { return buffers_.Bytes(); }
  // 0 while open, 2 before the first Open and after a successful Close.
  uint32_t OpenResult() const { return openResult_; }
  const std::string& LastOpenError() const { return lastOpenError_; }

 private:
  WaveBuffers buffers_;
  // The ring, guarded by the CSem this object is: head_ is the oldest slot
  // still with the device, tail_ the next free one. Taken by the writer
  // thread (Write) and the owner thread (BufferDone).
  uint32_t head_ = 0;
  uint32_t tail_ = 0;
  uint32_t outstanding_ = 0;
  uint32_t stop_ = 0;
  uint32_t openResult_ = kMmBadDeviceId;
  std::shared_ptr<SoundBackend> backend_;
  std::unique_ptr<WaveOutDevice> device_;  // null when closed
  std::string lastOpenError_;
};

}  // namespace dialvo
