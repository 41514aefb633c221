// The pure decisions on received datagrams and what they offer, for what
// the loopback tests cannot arrange: our own socket speaking, malformed
// datagrams, and every shape of a malformed session.
#include <gtest/gtest.h>

#include "engine/Dispatch.h"
#include "engine/PeerPacket.h"
#include "engine/SessionId.h"

namespace dialvo {
namespace {

using namespace wire;

std::vector<uint8_t> Bytes(const Message& msg) { return {msg.Bytes().begin(), msg.Bytes().end()}; }

TEST(Dispatch, OwnSocketIsRelayedWhateverItSaysMalformedIsDropped) {
  const auto request = Bytes(BuildCallIdentity(MSG_CONNECT_REQUEST, {}));
  SourceFacts own;
  own.relayToCaller = SockAddr{0x0A000001, 4000};
  own.sourceInUse = true;
  for (const auto& bytes : {request, Bytes(BuildPing(1, 2)), Bytes(BuildControl(MSG_WHO_RU))}) {
    const DispatchDecision d = DecideDispatch(bytes, own, 16);
    EXPECT_EQ(d.action, DispatchAction::kRelayToCaller);
    EXPECT_EQ(d.target, *own.relayToCaller);
    EXPECT_EQ(d.datagram->bytes.size(), bytes.size());
  }
  auto noMagic = request;
  noMagic[2] = 'X';
  EXPECT_EQ(DecideDispatch(noMagic, own, 16).action, DispatchAction::kDrop);
  EXPECT_EQ(DecideDispatch(std::span(request).first(12), own, 16).action, DispatchAction::kDrop);
  EXPECT_EQ(DecideDispatch(std::span(request).first(200), own, 16).action, DispatchAction::kDrop);
}

TEST(PeerPacket, VoiceWithoutOrWithBrokenTrailer) {
  Message bare(kMixerVoiceBuffer);
  bare.SetType(MSG_VOICE);
  bare.SetPayloadLength(kVoiceBytes);
  uint32_t last = 7;
  EXPECT_TRUE(CheckVoice(*ValidateDatagram(Bytes(bare)), true, last).pass);  // unchecked
  bare.SetPayloadLength(kVoiceBytes + 3);
  StoreU16(bare.Payload() + kVoiceBytes, kTrailerLength);
  EXPECT_FALSE(CheckVoice(*ValidateDatagram(Bytes(bare)), true, last).pass);
  EXPECT_TRUE(CheckVoice(*ValidateDatagram(Bytes(bare)), false, last).pass);
  EXPECT_EQ(last, 7u);
}

TEST(SessionId, OnlyGuidTextOfEitherCaseIsValid) {
  EXPECT_TRUE(IsValidSessionId(NewSessionId()));
  EXPECT_TRUE(IsValidSessionId("3F0C2A9E-5b1d-4C55-9a51-0D6F3C1B2E77"));
  for (const char* bad : {
           "",
           "3f0c2a9e-5b1d-4c55-9a51-0d6f3c1b2e7",    // one short
           "3f0c2a9e-5b1d-4c55-9a51-0d6f3c1b2e777",  // one long
           "{3f0c2a9e-5b1d-4c55-9a51-0d6f3c1b2e7}",  // braces
           "3f0c2a9e05b1d-4c55-9a51-0d6f3c1b2e77",   // a hyphen missing
           "3f0c2a9-e5b1d-4c55-9a51-0d6f3c1b2e77",   // a hyphen moved
           "3f0c2a9e-5b1d-4c55-9a51-0d6f3c1b2e7g",   // not hexadecimal
           "3f0c2a9e-5b1d-4c55-9a51-/../../x.wav",   // a path of the right length
       }) {
    EXPECT_FALSE(IsValidSessionId(bad)) << bad;
  }
}

}  // namespace
}  // namespace dialvo
