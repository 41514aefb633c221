#include "audio/GsmCodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/audio/AudioTestSupport.h"

namespace dialvo {
namespace {

using test::Tone;

wire::DatagramView View(const wire::Message& msg) {
  auto dg = wire::ParseDatagram(msg.Bytes());
  EXPECT_TRUE(dg.has_value());
  return dg.value_or(wire::DatagramView{});
}

TEST(GsmCodec, FramesAndPacketsHoldWholeFramesAndTheSampleCountAndDecodingStaysInBounds) {
  auto codec = CreateCodec();
  ASSERT_TRUE(codec);
  wire::Message packet(wire::kCaptureVoiceBuffer);
  packet.SetType(wire::MSG_VOICE);
  EXPECT_EQ(codec->EncodePacket(Tone(1600), packet), 1);
  EXPECT_EQ(packet.PayloadLength(), 330u);
  EXPECT_EQ(packet.SampleCount(), 1600u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(packet.Payload()[size_t{33} * i] >> 4, 0xD) << i;

  EXPECT_EQ(codec->EncodePacket(Tone(1700), packet), 1);
  EXPECT_EQ(packet.PayloadLength(), 330u);
  EXPECT_EQ(packet.SampleCount(), 1700u);

  // A buffer too small for all frames gets only those that fit.
  wire::Message small(13 + 100);
  codec->EncodePacket(Tone(1600), small);
  EXPECT_EQ(small.PayloadLength(), 99u);

  // Decoding stops at the trailer and at the end of the output buffer.
  wire::Message voice(wire::kMixerVoiceBuffer);
  voice.SetType(wire::MSG_VOICE);
  codec->EncodePacket(Tone(1600), voice);
  wire::AppendSequenceTrailer(voice, 1);
  std::vector<int16_t> out(1800, 0x5555);
  uint32_t samples = 0;
  codec->DecodePacket(View(voice), out, samples);
  EXPECT_EQ(samples, 1600u);
  for (size_t i = 1600; i < out.size(); ++i) ASSERT_EQ(out[i], 0x5555) << i;

  // A datagram claiming 100 frames never writes past a 1600-sample block.
  wire::Message huge(wire::kMixerVoiceBuffer);
  huge.SetType(wire::MSG_VOICE);
  codec->EncodePacket(Tone(16000), huge);
  EXPECT_EQ(huge.PayloadLength(), 3300u);
  std::vector<int16_t> block(1600);
  codec->DecodePacket(View(huge), block, samples);
  EXPECT_EQ(samples, 16000u);  // as the sender wrote it

  // Bare frames: only whole ones are encoded or decoded.
  std::vector<uint8_t> frames(330, 0xEE);
  uint32_t count = 159;
  codec->Encode(Tone(159), count, frames);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(frames[0], 0xEE);

  count = 1600;
  codec->Encode(Tone(1600), count, frames);
  EXPECT_EQ(count, 330u);

  std::vector<int16_t> pcm(1600);
  count = 330;
  codec->Decode(frames, pcm, count);
  EXPECT_EQ(count, 1600u);
  count = 100;
  codec->Decode(frames, pcm, count);
  EXPECT_EQ(count, 480u);

  // A frame without the GSM marker is skipped; its samples keep their value.
  std::fill(pcm.begin(), pcm.end(), 1234);
  frames[0] = 0x00;
  count = 66;
  codec->Decode(frames, pcm, count);
  EXPECT_EQ(count, 320u);
  for (int i = 0; i < 160; ++i) ASSERT_EQ(pcm[i], 1234) << i;
}

TEST(GsmCodec, RoundTripKeepsTheSignalAcrossBlocks) {
  auto encoder = CreateCodec();
  auto decoder = CreateCodec();
  double signal = 0;
  double noise = 0;
  for (int block = 0; block < 5; ++block) {
    const auto in = Tone(1600, 440.0, 8000.0, static_cast<size_t>(block) * 1600);
    wire::Message packet(wire::kMixerVoiceBuffer);
    packet.SetType(wire::MSG_VOICE);
    encoder->EncodePacket(in, packet);
    ASSERT_TRUE(wire::AppendSequenceTrailer(packet, static_cast<uint32_t>(block + 1)));
    std::vector<int16_t> out(1600);
    uint32_t samples = 0;
    decoder->DecodePacket(View(packet), out, samples);
    EXPECT_EQ(samples, 1600u);
    if (block == 0) continue;  // the codec settles during the first block
    for (size_t i = 0; i < in.size(); ++i) {
      signal += double(in[i]) * in[i];
      const double d = double(in[i]) - out[i];
      noise += d * d;
    }
  }
  EXPECT_GT(10 * std::log10(signal / noise), 3.0);
}

}  // namespace
}  // namespace dialvo
