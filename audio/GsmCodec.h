#pragma once
// One GSM 06.10 full-rate codec state and its framing: 160 samples of 16-bit
// PCM make one 33-byte frame, either bare (recordings) or in the payload of a
// voice datagram. One instance serves one continuous stream in one direction.
#include <cstdint>
#include <memory>
#include <span>

#include "engine/wire/Message.h"

struct gsm_state;

namespace dialvo {

class GsmCodec {
 public:
  static constexpr uint32_t kFrameSamples = 160;
  static constexpr uint32_t kFrameBytes = 33;

  virtual ~GsmCodec();
  GsmCodec(const GsmCodec&) = delete;
  GsmCodec& operator=(const GsmCodec&) = delete;

  // Encodes pcm.size() / 160 frames into the datagram's payload (as many as
  // its buffer holds), sets L to frames * 33 and the sample count to
  // pcm.size(). Magic, type and trailer are the caller's.
  virtual int EncodePacket(std::span<const int16_t> pcm, wire::Message& packet);
  // Decodes the voice frames of a datagram (FrameCount of them, no more than
  // pcm holds); samplesOut is the sample count the sender wrote.
  virtual int DecodePacket(const wire::DatagramView& packet, std::span<int16_t> pcm,
                           uint32_t& samplesOut);
  // Bare frames. count: samples in, bytes written out.
  virtual int Encode(std::span<const int16_t> pcm, uint32_t& count, std::span<uint8_t> out);
  // Bare frames. count: bytes in, samples written out. A frame without the
  // GSM marker is skipped and its samples keep what the buffer held.
  virtual int Decode(std::span<const uint8_t> in, std::span<int16_t> out, uint32_t& count);

 protected:
  explicit GsmCodec(gsm_state* state);

 private:
  friend std::unique_ptr<GsmCodec> CreateCodec();
  gsm_state* state_;
};

// A new codec with a fresh state; null when the state cannot be made.
std::unique_ptr<GsmCodec> CreateCodec();

}  // namespace dialvo
