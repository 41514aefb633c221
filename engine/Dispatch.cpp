#include "engine/Dispatch.h"

namespace dialvo {

using namespace wire;

DispatchDecision DecideDispatch(std::span<const uint8_t> received, const SourceFacts& facts,
                                size_t pendingCap, size_t sourceCap) {
  DispatchDecision decision;
  decision.datagram = ValidateDatagram(received);
  if (!decision.datagram) return decision;
  const uint8_t type = decision.datagram->type;

  // Our own connection speaking: pass it on to its caller, whatever it is.
  if (facts.relayToCaller) {
    decision.action = DispatchAction::kRelayToCaller;
    decision.target = *facts.relayToCaller;
    return decision;
  }
  if (type == MSG_WHO_RU) {
    decision.action = DispatchAction::kAnswerWhoRu;
  } else if (type == MSG_CONNECT_REQUEST) {
    if (facts.sourceInUse) {
      decision.action = DispatchAction::kDuplicateRequest;
    } else if (facts.pendingFromSource >= sourceCap) {
      decision.action = DispatchAction::kSourceCapped;
    } else if (facts.pendingRequests >= pendingCap) {
      decision.action = DispatchAction::kTooManyRequests;
    } else {
      decision.action = DispatchAction::kNewRequest;
    }
  } else if (facts.relayToConnection) {
    decision.action = DispatchAction::kRelayToConnection;
    decision.target = *facts.relayToConnection;
  } else if (type == MSG_R_U_THERE) {
    decision.action = DispatchAction::kAnswerPing;
  } else if (type == MSG_I_AM_HERE) {
    decision.action = DispatchAction::kRoundTrip;
  }
  return decision;
}

}  // namespace dialvo
