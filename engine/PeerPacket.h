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
  kRoundTrip,   // an echo: a round trip if it answers one of our pings
};

// Control datagrams count only from a connected remote peer whose full
// address (IP and port) they come from; everything else is kept and ignored.
PeerControl DecidePeerControl(uint8_t type, bool remote, bool connected, bool fromPeerAddress);

// The furthest a voice sequence number may move on in one step: 1000 blocks
// are 200 s of voice, far more than a peer can lose and still be alive.
inline constexpr uint32_t kMaxSequenceStep = 1000;

// What the receive loop remembers of one peer's voice sequence.
struct VoiceSequence {
  uint32_t last = 0;      // last sequence number taken; 0 before the first
  bool trailers = false;  // the peer numbers its voice: unnumbered voice is forged
};

struct VoiceCheck {
  bool pass = false;
  uint32_t gap = 0;  // sequence numbers skipped plus one, 0 when none were
};

// Checks a voice datagram's sequence trailer against what was seen on the
// connection and moves the sequence on. Numbers compare modulo 2^32: a
// repeated or late datagram fails, and so does one that jumps ahead by more
// than kMaxSequenceStep (it is dropped, not adopted). A datagram without a
// trailer passes unchecked until the peer has sent one with a trailer.
// Everything passes while validation is off.
VoiceCheck CheckVoice(const wire::DatagramView& voice, bool validation, VoiceSequence& sequence);

}  // namespace dialvo
