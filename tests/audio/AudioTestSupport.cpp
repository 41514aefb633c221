#include "tests/audio/AudioTestSupport.h"

#include <cstring>

#include "audio/PlaySound.h"

namespace dialvo::test {

std::optional<ThreadMessage> NextMessage(uint32_t message, uint32_t timeoutMs) {
  const uint32_t start = GetTickCount();
  for (;;) {
    const uint32_t spent = GetTickCount() - start;
    if (spent >= timeoutMs) return std::nullopt;
    std::optional<ThreadMessage> msg = GetMessage(timeoutMs - spent);
    if (msg && msg->message == message) return msg;
  }
}

std::shared_ptr<SoundBackend> NullBackend(Clock& clock) {
  SoundBackendOptions options;
  options.kind = SoundBackendKind::kNull;
  options.clock = &clock;
  return CreateSoundBackend(options, nullptr);
}

std::shared_ptr<SoundBackend> FileBackend(Clock& clock, const std::string& playFile,
                                          const std::string& recFile, bool loop,
                                          std::string* error) {
  SoundBackendOptions options;
  options.kind = SoundBackendKind::kFile;
  options.playFile = playFile;
  options.recFile = recFile;
  options.loop = loop;
  options.clock = &clock;
  return CreateSoundBackend(options, error);
}

void DrainMessages() {
  while (CurrentMessageQueue().TryGet()) {
  }
}

uint32_t RecordingClock::TickMs() {
  std::lock_guard lock(mutex_);
  return now_;
}

void RecordingClock::Sleep(uint32_t ms) {
  std::lock_guard lock(mutex_);
  sleeps_.push_back(ms);
  now_ += ms;
}

std::vector<uint32_t> RecordingClock::Sleeps() const {
  std::lock_guard lock(mutex_);
  return sleeps_;
}

FlakyBackend::FlakyBackend(Clock& clock, int failures, bool supported)
    : clock_(clock), null_(NullBackend(clock)), supported_(supported), failures_(failures) {}

bool FlakyBackend::Fail() {
  std::lock_guard lock(mutex_);
  attempts_.push_back({clock_.TickMs(), IsSoundPlaying()});
  if (failures_ <= 0) return false;
  --failures_;
  return true;
}

OpenedStream<CaptureStream> FlakyBackend::OpenCapture(const WaveFormat& format,
                                                      uint32_t blockBytes) {
  if (Fail()) return OpenedStream<CaptureStream>::Failed(kMmAllocated, "busy");
  return null_->OpenCapture(format, blockBytes);
}

OpenedStream<PlaybackStream> FlakyBackend::OpenPlayback(const WaveFormat& format,
                                                        uint32_t blockBytes) {
  if (Fail()) return OpenedStream<PlaybackStream>::Failed(kMmAllocated, "busy");
  return null_->OpenPlayback(format, blockBytes);
}

OpenedStream<PlaybackStream> FlakyBackend::OpenSoundOutput(const WaveFormat& format,
                                                           uint32_t blockBytes) {
  return null_->OpenSoundOutput(format, blockBytes);
}

std::vector<FlakyBackend::Attempt> FlakyBackend::Attempts() const {
  std::lock_guard lock(mutex_);
  return attempts_;
}

std::vector<int16_t> NumberedBlock(int number) {
  std::vector<int16_t> block(1600);
  for (size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<int16_t>(number * 2000 + static_cast<int>(i % 1000) - 1000);
  }
  return block;
}

std::vector<uint8_t> AsBytes(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes(samples.size() * sizeof(int16_t));
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

std::vector<int16_t> AsSamples(std::span<const uint8_t> bytes) {
  std::vector<int16_t> samples(bytes.size() / sizeof(int16_t));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(int16_t));
  return samples;
}

}  // namespace dialvo::test
