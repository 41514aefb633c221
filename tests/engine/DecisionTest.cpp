// The pure decisions on received datagrams and what they offer, for what
// the loopback tests cannot arrange: our own socket speaking, malformed
// datagrams, and every shape of a malformed session.
#include <gtest/gtest.h>

#include "engine/AnswerBudget.h"
#include "engine/Dispatch.h"
#include "engine/PeerPacket.h"
#include "engine/SessionId.h"
#include "tests/engine/EngineHarness.h"

namespace dialvo {
namespace {

using namespace wire;

std::vector<uint8_t> Bytes(const Message& msg) { return {msg.Bytes().begin(), msg.Bytes().end()}; }

TEST(Dispatch, OwnSocketIsRelayedMalformedIsDroppedRequestsAreCapped) {
  const auto request = Bytes(BuildCallIdentity(MSG_CONNECT_REQUEST, {}));
  SourceFacts own;
  own.relayToCaller = SockAddr{0x0A000001, 4000};
  own.sourceInUse = true;
  for (const auto& bytes : {request, Bytes(BuildPing(1, 2)), Bytes(BuildControl(MSG_WHO_RU))}) {
    const DispatchDecision d = DecideDispatch(bytes, own, 16, 4);
    EXPECT_EQ(d.action, DispatchAction::kRelayToCaller);
    EXPECT_EQ(d.target, *own.relayToCaller);
    EXPECT_EQ(d.datagram->bytes.size(), bytes.size());
  }
  auto noMagic = request;
  noMagic[2] = 'X';
  EXPECT_EQ(DecideDispatch(noMagic, own, 16, 4).action, DispatchAction::kDrop);
  EXPECT_EQ(DecideDispatch(std::span(request).first(12), own, 16, 4).action, DispatchAction::kDrop);
  EXPECT_EQ(DecideDispatch(std::span(request).first(200), own, 16, 4).action,
            DispatchAction::kDrop);

  // Requests from elsewhere are capped per source before the whole, and
  // duplicates before either.
  SourceFacts facts;
  facts.pendingRequests = 15;
  facts.pendingFromSource = 3;
  EXPECT_EQ(DecideDispatch(request, facts, 16, 4).action, DispatchAction::kNewRequest);
  facts.pendingFromSource = 4;
  EXPECT_EQ(DecideDispatch(request, facts, 16, 4).action, DispatchAction::kSourceCapped);
  facts.pendingFromSource = 0;
  facts.pendingRequests = 16;
  EXPECT_EQ(DecideDispatch(request, facts, 16, 4).action, DispatchAction::kTooManyRequests);
  facts.sourceInUse = true;
  EXPECT_EQ(DecideDispatch(request, facts, 16, 4).action, DispatchAction::kDuplicateRequest);
}

// The decision on voice from a peer whose sequence so far is s.
VoiceCheck Check(const Message& voice, VoiceSequence& s, bool validation = true) {
  return CheckVoice(*ValidateDatagram(Bytes(voice)), validation, s);
}

TEST(PeerPacket, VoiceWithoutOrWithBrokenTrailer) {
  Message bare(kMixerVoiceBuffer);
  bare.SetType(MSG_VOICE);
  bare.SetPayloadLength(kVoiceBytes);
  VoiceSequence sequence{7, false};
  EXPECT_TRUE(Check(bare, sequence).pass);  // unchecked
  bare.SetPayloadLength(kVoiceBytes + 3);
  StoreU16(bare.Payload() + kVoiceBytes, kTrailerLength);
  EXPECT_FALSE(Check(bare, sequence).pass);
  EXPECT_TRUE(Check(bare, sequence, false).pass);
  EXPECT_EQ(sequence.last, 7u);

  // Once the peer numbers its voice, unnumbered voice is not its own.
  bare.SetPayloadLength(kVoiceBytes);
  EXPECT_TRUE(Check(test::Voice(8), sequence).pass);
  EXPECT_TRUE(sequence.trailers);
  EXPECT_FALSE(Check(bare, sequence).pass);
}

TEST(PeerPacket, SequenceComparesAcrossTheWrapAndRefusesHugeJumps) {
  const auto check = [](VoiceSequence& s, uint32_t seq) { return Check(test::Voice(seq), s); };
  VoiceSequence fresh;
  // A forged jump to the top would silence the peer for good: dropped, not
  // adopted, and the peer's own next block still plays.
  EXPECT_FALSE(check(fresh, 0xFFFFFFFFu).pass);
  EXPECT_FALSE(check(fresh, kMaxSequenceStep + 1).pass);
  EXPECT_EQ(fresh.last, 0u);
  EXPECT_TRUE(check(fresh, 1).pass);
  const VoiceCheck gap = check(fresh, 1 + kMaxSequenceStep);
  EXPECT_TRUE(gap.pass);
  EXPECT_EQ(gap.gap, kMaxSequenceStep);

  VoiceSequence nearWrap{0xFFFFFFFEu, true};
  EXPECT_TRUE(check(nearWrap, 0xFFFFFFFFu).pass);
  const VoiceCheck over = check(nearWrap, 2);  // 0 lost across the wrap
  EXPECT_TRUE(over.pass);
  EXPECT_EQ(over.gap, 3u);
  EXPECT_FALSE(check(nearWrap, 0xFFFFFFFFu).pass);  // late, from before the wrap
  EXPECT_FALSE(check(nearWrap, 2).pass);            // repeated
  EXPECT_EQ(nearWrap.last, 2u);
}

TEST(AnswerBudget, OneDialogueFreelyThenLessAndLessAndDebtsArePaidBack) {
  AnswerBudget budget(320, 16);
  const uint32_t ip = 0x7F000002;
  const uint32_t t0 = 0xFFFFF000u;  // the tick count wraps during the test
  // A name query and a whole rejected dialogue, twice, fit the burst.
  EXPECT_TRUE(budget.Spend(ip, 149, t0));
  for (int i = 0; i < 12; ++i) EXPECT_TRUE(budget.Spend(ip, 13, t0)) << i;
  EXPECT_FALSE(budget.Spend(ip, 20, t0));
  EXPECT_TRUE(budget.Spend(0x7F000003, 149, t0));  // other sources are not touched
  // 16 bytes a second come back, never more than the burst.
  EXPECT_FALSE(budget.Spend(ip, 32, t0 + 1000));
  EXPECT_TRUE(budget.Spend(ip, 32, t0 + 2000));
  EXPECT_TRUE(budget.Spend(ip, 320, t0 + 600000));
  EXPECT_FALSE(budget.Spend(ip, 1, t0 + 600000));
  // A handshake charged and never proved is a debt; a proved one is refunded.
  budget.Charge(ip, 1425, t0 + 620000);
  EXPECT_FALSE(budget.Spend(ip, 13, t0 + 680000));
  EXPECT_TRUE(budget.Spend(ip, 13, t0 + 620000 + 1000 * (1280 + 13) / 16 + 1000));
  const uint32_t honest = 0x0A000001;
  budget.Charge(honest, 1425, t0);
  EXPECT_FALSE(budget.Spend(honest, 13, t0));
  budget.Refund(honest, 1425, t0);
  EXPECT_TRUE(budget.Spend(honest, 320, t0));
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
