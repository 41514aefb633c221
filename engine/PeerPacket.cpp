#include "engine/PeerPacket.h"

namespace dialvo {

using namespace wire;

PeerControl DecidePeerControl(uint8_t type, bool remote, bool connected, bool fromPeerAddress) {
  if (!remote || !connected || !fromPeerAddress || type < MSG_VOICE || type > MSG_I_AM_HERE) {
    return PeerControl::kKeep;
  }
  switch (type) {
    case MSG_HANGUP:
      return PeerControl::kHangUp;
    case MSG_R_U_THERE:
      return PeerControl::kAnswerPing;
    case MSG_I_AM_HERE:
      return PeerControl::kRoundTrip;
    default:
      return PeerControl::kKeep;
  }
}

VoiceCheck CheckVoice(const DatagramView& voice, bool validation, uint32_t& lastSequence) {
  if (!validation) return {true, 0};
  if (TrailerLength(voice) == 0) return {true, 0};
  const SequenceTrailer trailer = ReadSequenceTrailer(voice);
  if (trailer.state != TrailerState::kPresent) return {false, 0};
  const uint32_t seq = trailer.sequence;
  if (seq <= lastSequence) return {false, 0};
  const uint32_t gap = seq == lastSequence + 1 ? 0 : seq - lastSequence;
  lastSequence = seq;
  return {true, gap};
}

}  // namespace dialvo
