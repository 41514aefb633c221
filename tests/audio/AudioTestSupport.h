#pragma once
// Helpers of the sound device tests: waiting for device messages, clocks
// that record the waits, a backend that refuses to open, and blocks of
// recognisable samples.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/PlaySound.h"
#include "audio/SoundBackend.h"
#include "base/ThreadMessages.h"

namespace dialvo::test {

// The next message of the calling thread's queue, skipping others; nullopt
// when none came within timeoutMs.
std::optional<ThreadMessage> NextMessage(uint32_t message, uint32_t timeoutMs = 2000);

// Drops whatever earlier devices left in the calling thread's queue (tests
// of one executable may share a thread) and makes sure the queue exists.
void DrainMessages();

// A clock whose Sleep returns at once, moving the clock on and noting how
// long was asked for.
class RecordingClock final : public Clock {
 public:
  uint32_t TickMs() override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  void Sleep(uint32_t ms) override {
    std::lock_guard lock(mutex_);
    sleeps_.push_back(ms);
    now_ += ms;
  }
  std::vector<uint32_t> Sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }

 private:
  mutable std::mutex
      mutex_;  // guards now_ and sleeps_; taken by the test and the device under test
  uint32_t now_ = 0;
  std::vector<uint32_t> sleeps_;
};

// Backends paced by the given clock.
std::shared_ptr<SoundBackend> NullBackend(Clock& clock);
std::shared_ptr<SoundBackend> FileBackend(Clock& clock, const std::string& playFile,
                                          const std::string& recFile, bool loop,
                                          std::string* error = nullptr);

// Refuses the first `failures` opens of voice streams, then opens them on a
// null backend. Notes the clock at each attempt, and whether a sound of the
// process was playing then.
class FlakyBackend final : public SoundBackend {
 public:
  FlakyBackend(Clock& clock, int failures, bool supported = true)
      : clock_(clock), null_(NullBackend(clock)), supported_(supported), failures_(failures) {}
  const char* Name() const override { return "flaky"; }
  bool Supports(const WaveFormat&) const override { return supported_; }
  OpenedStream<CaptureStream> OpenCapture(const WaveFormat& format, uint32_t blockBytes) override {
    if (Fail()) return OpenedStream<CaptureStream>::Failed(kMmAllocated, "busy");
    return null_->OpenCapture(format, blockBytes);
  }
  OpenedStream<PlaybackStream> OpenPlayback(const WaveFormat& format,
                                            uint32_t blockBytes) override {
    if (Fail()) return OpenedStream<PlaybackStream>::Failed(kMmAllocated, "busy");
    return null_->OpenPlayback(format, blockBytes);
  }
  OpenedStream<PlaybackStream> OpenSoundOutput(const WaveFormat& format,
                                               uint32_t blockBytes) override {
    return null_->OpenSoundOutput(format, blockBytes);
  }
  Clock& DeviceClock() override { return clock_; }

  struct Attempt {
    uint32_t tick;
    bool soundPlaying;
  };
  std::vector<Attempt> Attempts() const {
    std::lock_guard lock(mutex_);
    return attempts_;
  }

 private:
  bool Fail() {
    std::lock_guard lock(mutex_);
    attempts_.push_back({clock_.TickMs(), IsSoundPlaying()});
    if (failures_ <= 0) return false;
    --failures_;
    return true;
  }

  Clock& clock_;
  std::shared_ptr<SoundBackend> null_;
  const bool supported_;
  mutable std::mutex
      mutex_;  // guards failures_ and attempts_; taken by opening threads and the test
  int failures_;
  std::vector<Attempt> attempts_;
};

// One block (1600 samples) whose samples tell the block number and position.
std::vector<int16_t> NumberedBlock(int number);
// The numbered blocks first to first + count - 1, one after the other.
std::vector<int16_t> NumberedBlocks(int first, int count);
// A sine of 8 kHz samples, starting `offset` samples into it.
std::vector<int16_t> Tone(size_t samples, double hz = 440.0, double amplitude = 8000.0,
                          size_t offset = 0);
std::vector<int16_t> AsSamples(std::span<const uint8_t> bytes);

}  // namespace dialvo::test
