// Feeds arbitrary datagrams, with arbitrary findings about their source, to
// the decisions the listening server and the voice receive loop make.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/Dispatch.h"
#include "engine/PeerPacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dialvo;
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  SourceFacts facts;
  if (flags & 1) facts.relayToCaller = SockAddr{0x0A000001, 1720};
  if (flags & 2) facts.relayToConnection = SockAddr::Loopback(40000);
  facts.sourceInUse = (flags & 4) != 0;
  facts.pendingRequests = data[1] % 20;
  facts.pendingFromSource = (data[1] >> 5) % 6;
  // Received data sits in an exactly sized buffer so ASan sees any over-read.
  std::vector<uint8_t> received(data + 2, data + size);
  const DispatchDecision decision = DecideDispatch(received, facts, 16, 4);
  if (decision.datagram) {
    const auto& dg = *decision.datagram;
    if (dg.bytes.data() != received.data() || dg.bytes.size() > received.size()) __builtin_trap();
    // The voice state as a peer may leave it: near the wrap, after or
    // before its first trailer.
    VoiceSequence sequence{static_cast<uint32_t>(flags) * 0x01010101u, (flags & 128) != 0};
    const VoiceSequence before = sequence;
    const VoiceCheck check = CheckVoice(dg, (flags & 8) != 0, sequence);
    const uint32_t step = sequence.last - before.last;
    if ((flags & 8) != 0 &&
        (step > kMaxSequenceStep || (check.pass && before.trailers && !sequence.trailers))) {
      __builtin_trap();
    }
    (void)DecidePeerControl(dg.type, (flags & 16) != 0, (flags & 32) != 0, (flags & 64) != 0);
  }
  return 0;
}
