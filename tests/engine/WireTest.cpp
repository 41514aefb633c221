#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "engine/wire/Message.h"

namespace dialvo::wire {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::vector<uint8_t> Wire(const Message& msg) {
  return std::vector<uint8_t>(msg.Bytes().begin(), msg.Bytes().end());
}

DatagramView MustValidate(const std::vector<uint8_t>& bytes) {
  auto dg = ValidateDatagram(bytes);
  EXPECT_TRUE(dg.has_value());
  return dg.value_or(DatagramView{});
}

TEST(Wire, ControlMessagesAreHeaderOnlyLittleEndian) {
  EXPECT_THAT(Wire(BuildControl(MSG_HANGUP)),
              ElementsAre(0x5A, 0x51, 0x57, 0x00, 0x04, 0, 0, 0, 0, 0, 0, 0, 0));
  Message voice(kMixerVoiceBuffer);
  voice.SetType(MSG_VOICE);
  voice.SetSampleCount(1600);
  voice.SetPayloadLength(0x01020304u);  // capped to what the buffer holds
  EXPECT_EQ(voice.PayloadLength(), kMixerVoiceBuffer - kHeaderSize);
  voice.SetPayloadLength(330);
  EXPECT_THAT(std::vector<uint8_t>(voice.Data() + 5, voice.Data() + 13),
              ElementsAre(0x40, 0x06, 0, 0, 0x4A, 0x01, 0, 0));
  EXPECT_EQ(voice.Bytes().size(), 343u);
}

TEST(Wire, PingIsEchoedWithTickAndCookieAndZeroTail) {
  const auto ping = Wire(BuildPing(1000, 7));
  ASSERT_EQ(ping.size(), 25u);
  EXPECT_THAT(std::vector<uint8_t>(ping.begin() + 13, ping.end()),
              ElementsAre(0xE8, 0x03, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0));
  const DatagramView dg = MustValidate(ping);
  EXPECT_EQ(dg.type, MSG_R_U_THERE);
  auto echo = BuildEcho(dg);
  ASSERT_TRUE(echo.has_value());
  const auto answer = Wire(*echo);
  ASSERT_EQ(answer.size(), 25u);
  EXPECT_EQ(answer[4], MSG_I_AM_HERE);
  EXPECT_EQ(LoadU32(&answer[9]), 12u);
  EXPECT_THAT(std::vector<uint8_t>(answer.begin() + 13, answer.end()),
              ElementsAre(0xE8, 0x03, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0));
  auto parsed = ParsePing(MustValidate(answer));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->tick, 1000u);
  EXPECT_EQ(parsed->cookie, 7u);
  // The tick count wraps; the unsigned difference does not care.
  EXPECT_EQ(RoundTrip(5, 0xFFFFFFF0u), 21u);

  // A ping whose payload is too short to echo is not answered.
  auto shortPing = Wire(BuildControl(MSG_R_U_THERE));
  EXPECT_FALSE(BuildEcho(MustValidate(shortPing)).has_value());
}

TEST(Wire, CallIdentityRoundTripsAndOldVersionsStopAtOffset80) {
  CallIdentity id;
  id.userName = std::string(70, 'u');  // longer than the field: cut to 63
  id.sessionId = "0f0e0d0c-0b0a-0908-0706-050403020100";
  id.expectedCallee = "Bob";
  id.reserved = "reserved";
  const auto bytes = Wire(BuildCallIdentity(MSG_CONNECT_REQUEST, id));
  ASSERT_EQ(bytes.size(), 13u + 272u);
  EXPECT_EQ(bytes[13 + 63], 0);
  EXPECT_EQ(LoadU32(&bytes[13 + 64]), 5u);
  auto parsed = ParseCallIdentity(MustValidate(bytes));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->userName, std::string(63, 'u'));
  EXPECT_EQ(parsed->sessionId, id.sessionId);
  EXPECT_EQ(parsed->expectedCallee, "Bob");

  auto old = bytes;
  StoreU32(&old[13 + 64], 4);
  parsed = ParseCallIdentity(MustValidate(old));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->protocolVersion, 4u);
  EXPECT_EQ(parsed->sessionId, "");
  EXPECT_EQ(parsed->expectedCallee, "");

  // A text field without its NUL is read up to the field's end, no further.
  auto hostile = bytes;
  std::fill(hostile.begin() + 13, hostile.begin() + 13 + 64, 'x');
  parsed = ParseCallIdentity(MustValidate(hostile));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->userName, std::string(64, 'x'));
}

TEST(Wire, BadMagicShortAndLyingDatagramsAreDropped) {
  auto good = Wire(BuildPing(1, 2));
  EXPECT_TRUE(ValidateDatagram(good).has_value());

  for (size_t i = 0; i < 4; ++i) {
    auto bad = good;
    bad[i] ^= 0x20;
    EXPECT_FALSE(ValidateDatagram(bad).has_value()) << i;
  }
  EXPECT_FALSE(ValidateDatagram(std::vector<uint8_t>{}).has_value());
  EXPECT_FALSE(ValidateDatagram(std::span(good).first(12)).has_value());
  // Shorter than 13 + L.
  EXPECT_FALSE(ValidateDatagram(std::span(good).first(24)).has_value());
  // L far beyond the buffer, including values that overflow a 32-bit sum.
  for (uint32_t lie : {13u, 0xFFFFFFF3u, 0xFFFFFFFFu}) {
    auto bad = good;
    StoreU32(&bad[9], lie);
    EXPECT_FALSE(ValidateDatagram(bad).has_value()) << lie;
  }
  // Bytes beyond 13 + L are not part of the datagram.
  auto longer = good;
  longer.resize(40, 0xAA);
  auto dg = ValidateDatagram(longer);
  ASSERT_TRUE(dg.has_value());
  EXPECT_EQ(dg->bytes.size(), 25u);
  // Without the magic check, only lengths count.
  auto noMagic = good;
  noMagic[0] = 'X';
  EXPECT_TRUE(ParseDatagram(noMagic).has_value());
}

std::vector<uint8_t> VoiceDatagram(uint32_t payloadLength, uint16_t trailer, uint32_t seq) {
  std::vector<uint8_t> bytes(13 + payloadLength, 0);
  Message header(kMixerVoiceBuffer);
  std::copy(header.Data(), header.Data() + 4, bytes.begin());
  bytes[4] = MSG_VOICE;
  StoreU32(&bytes[9], payloadLength);
  if (payloadLength >= 332) StoreU16(&bytes[13 + 330], trailer);
  if (payloadLength >= 336) StoreU32(&bytes[13 + 332], seq);
  return bytes;
}

TEST(Wire, VoiceTrailerAndFrameCount) {
  auto with = VoiceDatagram(336, 6, 77);
  DatagramView dg = MustValidate(with);
  EXPECT_EQ(TrailerLength(dg), 6u);
  EXPECT_EQ(FrameCount(dg), 10u);
  auto trailer = ReadSequenceTrailer(dg);
  EXPECT_EQ(trailer.state, TrailerState::kPresent);
  EXPECT_EQ(trailer.sequence, 77u);

  auto without = VoiceDatagram(330, 0, 0);
  dg = MustValidate(without);
  EXPECT_EQ(TrailerLength(dg), 0u);
  EXPECT_EQ(FrameCount(dg), 10u);
  EXPECT_EQ(ReadSequenceTrailer(dg).state, TrailerState::kNone);

  // A trailer length beyond the payload yields no frames, not a huge count.
  auto lying = VoiceDatagram(336, 0xFFFF, 1);
  dg = MustValidate(lying);
  EXPECT_EQ(FrameCount(dg), 0u);
  // A trailer cut short cannot carry a sequence number.
  auto cut = VoiceDatagram(333, 6, 0);
  EXPECT_EQ(ReadSequenceTrailer(MustValidate(cut)).state, TrailerState::kMalformed);
}

class RecordingSink final : public DatagramSink {
 public:
  bool accept = true;
  uint32_t nextSequence = 1;
  std::vector<std::vector<uint8_t>> sent;
  std::vector<uint32_t> reported;
  bool SendDatagram(std::span<const uint8_t> bytes) override {
    if (!accept) return false;
    sent.emplace_back(bytes.begin(), bytes.end());
    return true;
  }
  uint32_t TakeSendSequence() override { return nextSequence++; }
  void ReportBytesSent(uint32_t bytes) override { reported.push_back(bytes); }
};

TEST(Wire, SendSequencedNumbersVoiceFromOne) {
  RecordingSink sink;
  for (int i = 0; i < 3; ++i) {
    Message voice(kCaptureVoiceBuffer);
    voice.SetType(MSG_VOICE);
    voice.SetSampleCount(1600);
    voice.SetPayloadLength(330);
    ASSERT_TRUE(SendSequenced(sink, voice));
  }
  ASSERT_EQ(sink.sent.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    const DatagramView dg = MustValidate(sink.sent[i]);
    EXPECT_EQ(dg.PayloadLength(), 336u);
    EXPECT_EQ(ReadSequenceTrailer(dg).sequence, i + 1);
  }
  EXPECT_THAT(sink.reported, ElementsAreArray({349u, 349u, 349u}));

  // Only what the socket accepted counts as sent.
  sink.accept = false;
  EXPECT_FALSE(Send(sink, BuildControl(MSG_HANGUP)));
  EXPECT_EQ(sink.reported.size(), 3u);
  sink.accept = true;
  EXPECT_TRUE(Send(sink, BuildControl(MSG_HANGUP)));
  EXPECT_EQ(sink.reported.back(), 13u);
}

}  // namespace
}  // namespace dialvo::wire
