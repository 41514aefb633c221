#pragma once
// The five one-block buffers of a capture or playback ring, allocated once,
// with the header that describes each.
#include <cstdint>
#include <span>
#include <vector>

#include "audio/WaveTypes.h"

namespace dialvo {

class WaveBuffers {
 public:
  static constexpr uint32_t kCount = 5;

  WaveBuffers(uint32_t samplesPerBuffer, uint32_t sampleRate, uint32_t channels,
              uint32_t bitsPerSample);

  const WaveFormat& Format() const { return format_; }
  uint32_t Bytes() const { return bytes_; }
  uint8_t* Slot(uint32_t index) { return memory_.data() + size_t{index} * bytes_; }
  std::span<const uint8_t> Buffer(uint32_t index) const {
    return {memory_.data() + size_t{index} * bytes_, bytes_};
  }
  WaveHeader& Header(uint32_t index) { return headers_[index]; }
  const WaveHeader& Header(uint32_t index) const { return headers_[index]; }
  // Points header i at buffer i afresh (full length, flags 0, loops 0, user
  // data i) and prepares it for a device.
  WaveHeader& Renew(uint32_t index);

 private:
  const WaveFormat format_;
  const uint32_t bytes_;
  std::vector<uint8_t> memory_;  // buffer i at offset i * bytes_
  WaveHeader headers_[kCount];
};

}  // namespace dialvo
