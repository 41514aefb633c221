#pragma once
// Streams that keep real time by a clock instead of a sound card: capture
// hands out one block per block duration, playback takes that long to "play"
// each block. The file and null backends are built from them.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "audio/SoundBackend.h"

namespace dialvo {

// Waits for a clock to reach a tick, and can be woken to look at a
// StreamCancel. The system clock is waited on directly; any other clock (a
// test's, which moves only when told) is read again every millisecond.
class Pacer {
 public:
  explicit Pacer(Clock& clock);
  uint32_t Now() { return clock_.TickMs(); }
  // True once the clock reads due or later; false when called off first.
  bool WaitUntil(uint32_t due, const StreamCancel& cancel);
  void Wake();

 private:
  Clock& clock_;
  const bool realTime_;
  std::mutex mutex_;  // guards wakeups_; taken by the waiting stream call and by Wake
  std::condition_variable cv_;
  uint64_t wakeups_ = 0;
};

// Milliseconds that bytes of a format last.
uint64_t DurationMs(const WaveFormat& format, uint64_t bytes);

// Block n (from 0) is ready one block duration after block n - 1, the first
// one block duration after the stream was opened. A reader that falls
// behind gets the blocks that are due at once.
class PacedCapture final : public CaptureStream {
 public:
  // Fills the next block; false when the source broke.
  using Source = std::function<bool(std::span<uint8_t> block)>;
  PacedCapture(Clock& clock, const WaveFormat& format, Source source);
  StreamResult Read(std::span<uint8_t> block, const StreamCancel& cancel) override;
  void Interrupt() override { pacer_.Wake(); }

 private:
  Pacer pacer_;
  const WaveFormat format_;
  Source source_;
  const uint32_t origin_;
  uint64_t bytesRead_ = 0;  // touched by the reading thread only
};

// Blocks play back to back from the moment the stream was opened. A block
// written at most one block duration after the previous one ended (or after
// the open) keeps that schedule, as a sound card would still have had it in
// its buffer; a later one found the stream idle and starts playing at once.
// Write returns when the block has been played, after handing it to the
// sink.
class PacedPlayback final : public PlaybackStream {
 public:
  // Takes a played block; false when the sink broke.
  using Sink = std::function<bool(std::span<const uint8_t> block)>;
  PacedPlayback(Clock& clock, const WaveFormat& format, Sink sink);
  StreamResult Write(std::span<const uint8_t> block, const StreamCancel& cancel) override;
  StreamResult Drain(const StreamCancel&) override { return StreamResult::kDone; }
  void Interrupt() override { pacer_.Wake(); }

 private:
  Pacer pacer_;
  const WaveFormat format_;
  Sink sink_;
  // The writing thread only: start of the current run of back-to-back
  // blocks and the bytes played in it.
  uint32_t runStart_;
  uint64_t runBytes_ = 0;
  bool failed_ = false;
};

// Silence of a format: zero samples, or 0x80 for unsigned 8-bit.
void FillSilence(const WaveFormat& format, std::span<uint8_t> block);

}  // namespace dialvo
