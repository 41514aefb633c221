// Feeds arbitrary bytes to everything that reads a received datagram.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "audio/GsmCodec.h"
#include "engine/wire/Message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dialvo;
  // Received data sits in an exactly sized buffer so ASan sees any over-read.
  std::vector<uint8_t> received(data, data + size);
  const std::span<const uint8_t> bytes(received);
  (void)wire::HasMagic(bytes);
  auto loose = wire::ParseDatagram(bytes);
  auto dg = wire::ValidateDatagram(bytes);
  for (const auto& view : {loose, dg}) {
    if (!view) continue;
    (void)wire::ParseCallIdentity(*view);
    (void)wire::ParsePing(*view);
    (void)wire::BuildEcho(*view);
    (void)wire::TrailerLength(*view);
    (void)wire::FrameCount(*view);
    (void)wire::ReadSequenceTrailer(*view);
    static auto codec = CreateCodec();
    std::vector<int16_t> pcm(1600);
    uint32_t samples = 0;
    codec->DecodePacket(*view, pcm, samples);
  }
  return 0;
}
