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
  // Received data sits in an exactly sized buffer so ASan sees any over-read.
  std::vector<uint8_t> received(data + 2, data + size);
  const DispatchDecision decision = DecideDispatch(received, facts, 16);
  if (decision.datagram) {
    const auto& dg = *decision.datagram;
    if (dg.bytes.data() != received.data() || dg.bytes.size() > received.size()) __builtin_trap();
    uint32_t last = flags;
    (void)CheckVoice(dg, (flags & 8) != 0, last);
    (void)DecidePeerControl(dg.type, (flags & 16) != 0, (flags & 32) != 0, (flags & 64) != 0);
  }
  return 0;
}
