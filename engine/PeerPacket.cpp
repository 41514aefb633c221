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

VoiceCheck CheckVoice(const DatagramView& voice, bool validation, VoiceSequence& sequence) {
  if (!validation) return {true, 0};
  if (TrailerLength(voice) == 0) return {!sequence.trailers, 0};
  const SequenceTrailer trailer = ReadSequenceTrailer(voice);
  if (trailer.state != TrailerState::kPresent) return {false, 0};
  // Unsigned difference: the numbers may wrap, and anything "behind" the
  // last one comes out as a huge step.
  const uint32_t step = trailer.sequence - sequence.last;
  if (step == 0 || step > kMaxSequenceStep) return {false, 0};
  sequence.last = trailer.sequence;
  sequence.trailers = true;
  return {true, step == 1 ? 0 : step};
}

}  // namespace dialvo
