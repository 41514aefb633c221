#pragma once
// What the listening server does with one received datagram. Pure: the
// server looks its connections up first and hands the findings in.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/UdpSocket.h"
#include "engine/wire/Message.h"

namespace dialvo {

// The server's connections as they relate to a datagram's source.
struct SourceFacts {
  // The source is the local address of one of our CONN_INCOMING sockets:
  // the engine speaks to that connection's caller, at this address.
  std::optional<SockAddr> relayToCaller;
  // The source is the caller of one of our CONN_INCOMING connections: its
  // datagrams go on to that connection's socket, at this address.
  std::optional<SockAddr> relayToConnection;
  // A pending or connected connection already talks to the source.
  bool sourceInUse = false;
  // Requests still waiting for the user's decision: all, and those from
  // the source's IP address.
  size_t pendingRequests = 0;
  size_t pendingFromSource = 0;
};

enum class DispatchAction {
  kDrop,               // not ours, not valid, or of no interest
  kRelayToCaller,      // forward unchanged to target (outbound relay)
  kRelayToConnection,  // forward unchanged to target (inbound relay)
  kAnswerWhoRu,        // answer MSG_I_AM to the source
  kNewRequest,         // start an incoming-request dialogue
  kDuplicateRequest,   // the source's first request is still being handled
  kTooManyRequests,    // every pending slot is taken
  kSourceCapped,       // the source's IP address holds its share of the pending slots
  kAnswerPing,         // answer MSG_I_AM_HERE to the source
  kRoundTrip,          // an echo: a round trip if it answers one of our pings
};

struct DispatchDecision {
  DispatchAction action = DispatchAction::kDrop;
  SockAddr target;                             // for the relays
  std::optional<wire::DatagramView> datagram;  // set unless the datagram was invalid
};

// Datagrams that are too short, that claim more payload than arrived, or that
// lack the magic are dropped. pendingCap bounds the requests pending at once,
// sourceCap those from one IP address.
DispatchDecision DecideDispatch(std::span<const uint8_t> received, const SourceFacts& facts,
                                size_t pendingCap, size_t sourceCap);

}  // namespace dialvo
