// The pure decisions on received datagrams.
#include <gtest/gtest.h>

#include "engine/Dispatch.h"
#include "engine/PeerPacket.h"

namespace dialvo {
namespace {

using namespace wire;

std::vector<uint8_t> Bytes(const Message& msg) { return {msg.Bytes().begin(), msg.Bytes().end()}; }

TEST(Dispatch, SourceDecidesBetweenRelayRequestsAndAnswers) {
  const auto request = Bytes(BuildCallIdentity(MSG_CONNECT_REQUEST, {}));
  const auto hangup = Bytes(BuildControl(MSG_HANGUP));
  const auto ping = Bytes(BuildPing(1, 2));
  const SockAddr caller{0x0A000001, 4000};
  const SockAddr ownSocket = SockAddr::Loopback(5000);

  // A stranger: requests start a dialogue, pings and who-are-you are
  // answered, answers to our pings are reported, the rest is dropped.
  SourceFacts stranger;
  EXPECT_EQ(DecideDispatch(request, stranger, 16).action, DispatchAction::kNewRequest);
  EXPECT_EQ(DecideDispatch(ping, stranger, 16).action, DispatchAction::kAnswerPing);
  EXPECT_EQ(DecideDispatch(Bytes(BuildControl(MSG_WHO_RU)), stranger, 16).action,
            DispatchAction::kAnswerWhoRu);
  EXPECT_EQ(DecideDispatch(Bytes(*BuildEcho(*ValidateDatagram(ping))), stranger, 16).action,
            DispatchAction::kRoundTrip);
  EXPECT_EQ(DecideDispatch(hangup, stranger, 16).action, DispatchAction::kDrop);
  stranger.pendingRequests = 16;
  EXPECT_EQ(DecideDispatch(request, stranger, 16).action, DispatchAction::kTooManyRequests);

  // A caller being served: its requests are repeats, everything else goes
  // on to its connection.
  SourceFacts served;
  served.sourceInUse = true;
  served.relayToConnection = ownSocket;
  EXPECT_EQ(DecideDispatch(request, served, 16).action, DispatchAction::kDuplicateRequest);
  const DispatchDecision relayed = DecideDispatch(ping, served, 16);
  EXPECT_EQ(relayed.action, DispatchAction::kRelayToConnection);
  EXPECT_EQ(relayed.target, ownSocket);
  EXPECT_EQ(relayed.datagram->bytes.size(), ping.size());

  // Our own connection's socket: everything goes to its caller, even what
  // would otherwise be answered here.
  SourceFacts own;
  own.relayToCaller = caller;
  for (const auto& bytes : {request, hangup, ping}) {
    const DispatchDecision d = DecideDispatch(bytes, own, 16);
    EXPECT_EQ(d.action, DispatchAction::kRelayToCaller);
    EXPECT_EQ(d.target, caller);
  }

  // Malformed: no magic, cut short, or claiming more payload than arrived.
  auto bad = request;
  bad[2] = 'X';
  EXPECT_EQ(DecideDispatch(bad, own, 16).action, DispatchAction::kDrop);
  EXPECT_EQ(DecideDispatch(std::span(request).first(12), stranger, 16).action,
            DispatchAction::kDrop);
  EXPECT_EQ(DecideDispatch(std::span(request).first(200), stranger, 16).action,
            DispatchAction::kDrop);
}

TEST(PeerPacket, ControlCountsOnlyFromTheConnectedPeerAddress) {
  EXPECT_EQ(DecidePeerControl(MSG_HANGUP, true, true, true), PeerControl::kHangUp);
  EXPECT_EQ(DecidePeerControl(MSG_R_U_THERE, true, true, true), PeerControl::kAnswerPing);
  EXPECT_EQ(DecidePeerControl(MSG_I_AM_HERE, true, true, true), PeerControl::kRoundTrip);
  EXPECT_EQ(DecidePeerControl(MSG_HANGUP, true, true, false), PeerControl::kKeep);
  EXPECT_EQ(DecidePeerControl(MSG_HANGUP, true, false, true), PeerControl::kKeep);
  EXPECT_EQ(DecidePeerControl(MSG_HANGUP, false, true, true), PeerControl::kKeep);
  EXPECT_EQ(DecidePeerControl(MSG_ACCEPT, true, true, true), PeerControl::kKeep);
  EXPECT_EQ(DecidePeerControl(MSG_WHO_RU, true, true, true), PeerControl::kKeep);
}

TEST(PeerPacket, VoiceSequenceReportsGapsAndDropsRepeats) {
  auto voice = [](uint32_t seq) {
    Message msg(kMixerVoiceBuffer);
    msg.SetType(MSG_VOICE);
    msg.SetPayloadLength(kVoiceBytes);
    AppendSequenceTrailer(msg, seq);
    return Bytes(msg);
  };
  uint32_t last = 0;
  auto check = [&](const std::vector<uint8_t>& bytes, bool validation = true) {
    return CheckVoice(*ValidateDatagram(bytes), validation, last);
  };
  EXPECT_TRUE(check(voice(1)).pass);
  EXPECT_EQ(check(voice(2)).gap, 0u);
  const VoiceCheck jump = check(voice(5));
  EXPECT_TRUE(jump.pass);
  EXPECT_EQ(jump.gap, 3u);
  EXPECT_FALSE(check(voice(4)).pass);
  EXPECT_FALSE(check(voice(5)).pass);
  EXPECT_EQ(last, 5u);
  EXPECT_TRUE(check(voice(4), false).pass);  // unchecked
  EXPECT_EQ(last, 5u);

  // Without a trailer: passes unchecked. A trailer cut short: dropped.
  Message bare(kMixerVoiceBuffer);
  bare.SetType(MSG_VOICE);
  bare.SetPayloadLength(kVoiceBytes);
  EXPECT_TRUE(check(Bytes(bare)).pass);
  bare.SetPayloadLength(kVoiceBytes + 3);
  StoreU16(bare.Payload() + kVoiceBytes, 6);
  EXPECT_FALSE(check(Bytes(bare)).pass);
  EXPECT_EQ(last, 5u);
}

}  // namespace
}  // namespace dialvo
