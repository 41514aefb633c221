#pragma once
// Helpers of the sound device tests: waiting for device messages, clocks
// that record the waits, a backend that refuses to open, and blocks of
// recognisable samples.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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
  uint32_t TickMs() override;
  void Sleep(uint32_t ms) override;
  std::vector<uint32_t> Sleeps() const;

 private:
  mutable std::mutex
      mutex_;  // guards now_ and sleeps_; taken by the test and the device under test
  uint32_t now_ = 0;
  std::vector<uint32_t> sleeps_;
};

// Refuses the first `failures` opens of voice streams, then opens them on a
// null backend. Notes the clock at each attempt, and whether a sound of the
// process was playing then.
class FlakyBackend final : public SoundBackend {
 public:
  FlakyBackend(Clock& clock, int failures, bool supported = true);
  const char* Name() const override { return "flaky"; }
  bool Supports(const WaveFormat&) const override { return supported_; }
  OpenedStream<CaptureStream> OpenCapture(const WaveFormat& format, uint32_t blockBytes) override;
  OpenedStream<PlaybackStream> OpenPlayback(const WaveFormat& format, uint32_t blockBytes) override;
  OpenedStream<PlaybackStream> OpenSoundOutput(const WaveFormat& format,
                                               uint32_t blockBytes) override;
  Clock& DeviceClock() override { return clock_; }

  struct Attempt {
    uint32_t tick;
    bool soundPlaying;
  };
  std::vector<Attempt> Attempts() const;

 private:
  bool Fail();

  Clock& clock_;
  std::shared_ptr<SoundBackend> null_;
  const bool supported_;
  mutable std::mutex
      mutex_;  // guards failures_ and attempts_; taken by opening threads and the test
  int failures_;
  std::vector<Attempt> attempts_;
};

// Backends paced by the given clock.
std::shared_ptr<SoundBackend> NullBackend(Clock& clock);
std::shared_ptr<SoundBackend> FileBackend(Clock& clock, const std::string& playFile,
                                          const std::string& recFile, bool loop,
                                          std::string* error = nullptr);

// One block (1600 samples) whose samples tell the block number and position.
std::vector<int16_t> NumberedBlock(int number);
std::vector<uint8_t> AsBytes(const std::vector<int16_t>& samples);
std::vector<int16_t> AsSamples(std::span<const uint8_t> bytes);

}  // namespace dialvo::test
