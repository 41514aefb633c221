#pragma once
// What the voice receive loop does with a datagram read on a peer's socket.
// Pure: the caller reads and updates the connection.
#include <cstdint>

#include "engine/wire/Message.h"

namespace dialvo {

enum class PeerControl {
  kKeep,        // nothing to do; keep reading
  kHangUp,      // the peer hung up: remove it
  kAnswerPing,  // echo the ping back to the peer
  kRoundTrip,   // our ping came back: report the round trip
};

// Control datagrams count only from a connected remote peer whose address
// they come from; everything else is kept and ignored.
PeerControl DecidePeerControl(uint8_t type, bool remote, bool connected, bool fromPeerAddress);

struct VoiceCheck {
  bool pass = false;
  uint32_t gap = 0;  // sequence numbers skipped plus one, 0 when none were
};

// Checks a voice datagram's sequence trailer against the last one seen on
// the connection and moves lastSequence on. Repeated or late datagrams fail;
// a datagram without a trailer passes unchecked. Everything passes while
// validation is off.
VoiceCheck CheckVoice(const wire::DatagramView& voice, bool validation, uint32_t& lastSequence);

}  // namespace dialvo
