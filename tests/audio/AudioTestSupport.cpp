#include "tests/audio/AudioTestSupport.h"

#include <cmath>
#include <cstring>
#include <numbers>

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

std::vector<int16_t> NumberedBlock(int number) {
  std::vector<int16_t> block(1600);
  for (size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<int16_t>(number * 2000 + static_cast<int>(i % 1000) - 1000);
  }
  return block;
}

std::vector<int16_t> NumberedBlocks(int first, int count) {
  std::vector<int16_t> all;
  for (int n = first; n < first + count; ++n) {
    const std::vector<int16_t> block = NumberedBlock(n);
    all.insert(all.end(), block.begin(), block.end());
  }
  return all;
}

std::vector<int16_t> Tone(size_t samples, double hz, double amplitude, size_t offset) {
  std::vector<int16_t> pcm(samples);
  for (size_t i = 0; i < samples; ++i) {
    pcm[i] = static_cast<int16_t>(
        amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i + offset) / 8000));
  }
  return pcm;
}

std::vector<int16_t> AsSamples(std::span<const uint8_t> bytes) {
  std::vector<int16_t> samples(bytes.size() / sizeof(int16_t));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(int16_t));
  return samples;
}

}  // namespace dialvo::test
