#include "audio/GsmCodec.h"

#include <gsm.h>

#include <algorithm>

namespace dialvo {

GsmCodec::GsmCodec(gsm_state* state) : state_(state) {}

GsmCodec::~GsmCodec() { gsm_destroy(state_); }

std::unique_ptr<GsmCodec> CreateCodec() {
  gsm_state* state = gsm_create();
  if (state == nullptr) return nullptr;
  return std::unique_ptr<GsmCodec>(new GsmCodec(state));
}

namespace {
// libgsm takes non-const pointers although it only reads its input.
gsm_signal* Samples(const int16_t* p) { return const_cast<gsm_signal*>(p); }
gsm_byte* Bytes(const uint8_t* p) { return const_cast<gsm_byte*>(p); }
}  // namespace

int GsmCodec::EncodePacket(std::span<const int16_t> pcm, wire::Message& packet) {
  const auto room = static_cast<uint32_t>((packet.Capacity() - wire::kHeaderSize) / kFrameBytes);
  const uint32_t frames = std::min(static_cast<uint32_t>(pcm.size()) / kFrameSamples, room);
  uint8_t* out = packet.Payload();
  for (uint32_t i = 0; i < frames; ++i) {
    gsm_encode(state_, Samples(pcm.data() + size_t{i} * kFrameSamples),
               out + size_t{i} * kFrameBytes);
  }
  packet.SetPayloadLength(frames * kFrameBytes);
  packet.SetSampleCount(static_cast<uint32_t>(pcm.size()));
  return 1;
}

int GsmCodec::DecodePacket(const wire::DatagramView& packet, std::span<int16_t> pcm,
                           uint32_t& samplesOut) {
  samplesOut = packet.sampleCount;
  const uint32_t frames =
      std::min(wire::FrameCount(packet), static_cast<uint32_t>(pcm.size()) / kFrameSamples);
  for (uint32_t i = 0; i < frames; ++i) {
    gsm_decode(state_, Bytes(packet.payload.data() + size_t{i} * kFrameBytes),
               pcm.data() + size_t{i} * kFrameSamples);
  }
  return 1;
}

int GsmCodec::Encode(std::span<const int16_t> pcm, uint32_t& count, std::span<uint8_t> out) {
  const uint32_t samples = std::min(count, static_cast<uint32_t>(pcm.size()));
  const uint32_t frames =
      std::min(samples / kFrameSamples, static_cast<uint32_t>(out.size()) / kFrameBytes);
  for (uint32_t i = 0; i < frames; ++i) {
    gsm_encode(state_, Samples(pcm.data() + size_t{i} * kFrameSamples),
               out.data() + size_t{i} * kFrameBytes);
  }
  count = frames * kFrameBytes;
  return 1;
}

int GsmCodec::Decode(std::span<const uint8_t> in, std::span<int16_t> out, uint32_t& count) {
  const uint32_t bytes = std::min(count, static_cast<uint32_t>(in.size()));
  const uint32_t frames =
      std::min(bytes / kFrameBytes, static_cast<uint32_t>(out.size()) / kFrameSamples);
  for (uint32_t i = 0; i < frames; ++i) {
    gsm_decode(state_, Bytes(in.data() + size_t{i} * kFrameBytes),
               out.data() + size_t{i} * kFrameSamples);
  }
  count = frames * kFrameSamples;
  return 1;
}

}  // namespace dialvo
