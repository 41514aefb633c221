#pragma once
// The vocabulary that wave devices share with their owners: the PCM format
// record, the buffer header with its flags, the result codes of device calls
// and the messages a device posts to its owner thread.
#include <atomic>
#include <cstdint>

namespace dialvo {

// Posted to the owner thread: wParam is the device, lParam the WaveHeader*.
inline constexpr uint32_t MM_WOM_DONE = 0x3BD;  // a playback buffer has been played
inline constexpr uint32_t MM_WIM_DATA = 0x3C0;  // a capture buffer has been filled

// Results of device calls; 0 means success.
inline constexpr uint32_t kMmNoError = 0;
inline constexpr uint32_t kMmError = 1;
inline constexpr uint32_t kMmBadDeviceId = 2;  // also "not open yet"
inline constexpr uint32_t kMmAllocated = 4;    // busy: in use by someone else
inline constexpr uint32_t kMmInvalidHandle = 5;
inline constexpr uint32_t kMmInvalidParam = 11;
inline constexpr uint32_t kWaveBadFormat = 32;
inline constexpr uint32_t kWaveStillPlaying = 33;  // buffers are still queued
inline constexpr uint32_t kWaveUnprepared = 34;

// Header flags.
inline constexpr uint32_t WHDR_DONE = 0x01;      // the device has finished with the buffer
inline constexpr uint32_t WHDR_PREPARED = 0x02;  // may be given to a device
inline constexpr uint32_t WHDR_INQUEUE = 0x10;   // queued at a device

// Linear PCM, interleaved, little-endian samples.
struct WaveFormat {
  static constexpr uint16_t kPcm = 1;

  uint16_t formatTag = kPcm;
  uint16_t channels = 1;
  uint32_t samplesPerSec = 8000;
  uint32_t avgBytesPerSec = 16000;
  uint16_t blockAlign = 2;
  uint16_t bitsPerSample = 16;

  static WaveFormat Pcm(uint32_t sampleRate, uint32_t channels, uint32_t bitsPerSample) {
    WaveFormat f;
    f.channels = static_cast<uint16_t>(channels);
    f.samplesPerSec = sampleRate;
    f.bitsPerSample = static_cast<uint16_t>(bitsPerSample);
    f.blockAlign = static_cast<uint16_t>(channels * bitsPerSample / 8);
    f.avgBytesPerSec = sampleRate * f.blockAlign;
    return f;
  }
  // A consistent integer PCM record of 8 or 16 bits.
  bool IsPlainPcm() const {
    return formatTag == kPcm && channels >= 1 && samplesPerSec > 0 &&
           (bitsPerSample == 8 || bitsPerSample == 16) &&
           blockAlign == channels * bitsPerSample / 8 &&
           avgBytesPerSec == samplesPerSec * blockAlign;
  }
  bool operator==(const WaveFormat&) const = default;
};

// Describes one buffer lent to a device. The owner fills the plain fields
// while the buffer is not queued; the device sets WHDR_DONE (with release
// order, after the data and bytesRecorded) when it gives the buffer back, so
// an owner that sees the flag may read the data.
struct WaveHeader {
  uint8_t* data = nullptr;
  uint32_t bufferLength = 0;
  uint32_t bytesRecorded = 0;
  uintptr_t user = 0;
  std::atomic<uint32_t> flags{0};
  uint32_t loops = 0;

  bool IsDone() const { return (flags.load(std::memory_order_acquire) & WHDR_DONE) != 0; }
  bool IsQueued() const { return (flags.load(std::memory_order_acquire) & WHDR_INQUEUE) != 0; }
};

}  // namespace dialvo
