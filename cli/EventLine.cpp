#include "cli/EventLine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "engine/CallRequest.h"
#include "engine/EngineEvents.h"
#include "engine/IncomingRequest.h"
#include "engine/NetCore.h"

namespace dialvo::cli {

std::string EscapeValue(std::string_view value) {
  std::string out;
  for (const char c : value) {
    const auto u = static_cast<unsigned char>(c);
    // Only printable ASCII goes out as it is: bytes from the network must
    // not reach the terminal as control codes, bidirectional marks or
    // broken UTF-8.
    if (u <= 0x20 || u >= 0x7F || c == '%' || c == '=') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

std::string FormatLine(uint64_t ms, std::string_view word, const Fields& fields) {
  std::string line = std::to_string(ms);
  line += ' ';
  line += word;
  for (const auto& [key, value] : fields) {
    line += ' ';
    if (!key.empty()) {
      line += key;
      line += '=';
    }
    line += EscapeValue(value);
  }
  return line;
}

const PeerBook::Peer& PeerBook::Join(Connection* connection, std::string name,
                                     std::string address) {
  Peer& peer = peers_[connection];
  peer = {nextId_++, std::move(name), std::move(address), true};
  return peer;
}

PeerBook::Peer PeerBook::Leave(Connection* connection) {
  auto it = peers_.find(connection);
  if (it == peers_.end()) return {};
  it->second.present = false;
  return it->second;
}

size_t PeerBook::Count() const {
  return static_cast<size_t>(
      std::count_if(peers_.begin(), peers_.end(), [](const auto& p) { return p.second.present; }));
}

int PeerBook::IdOf(const void* connection) const {
  auto it = peers_.find(connection);
  return it == peers_.end() ? 0 : it->second.id;
}

Fields DescribeEvent(uint32_t code, uintptr_t data, PeerBook& book, const EventContext& context) {
  const auto n = [](auto v) { return std::to_string(v); };
  switch (code) {
    case EV_BYTES_SENT:
    case EV_BYTES_RECEIVED: {
      const auto* rec = reinterpret_cast<const ByteCountRecord*>(data);
      return {{"peer", n(book.IdOf(rec->connection))}, {"bytes", n(rec->bytes)}};
    }
    case EV_CAPTURE_BUFFER:
    case EV_PLAYOUT_BUFFER: {
      // The block is shared: it may already be a later one.
      const auto bytes = reinterpret_cast<const StaticAudioBuffer*>(data)->Read();
      int peak = 0;
      for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto sample = static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8));
        peak = std::max(peak, std::abs(int{sample}));
      }
      return {{"peak", n(peak)}};
    }
    case EV_CALL_STARTED:
      return {{"session", context.sessionId}};
    case EV_SERVER_BIND_ERROR:
      return {{"port", n(context.listeningPort)}};
    case EV_INCOMING_CALL:
    case EV_CONFERENCE_REQUEST: {
      const auto* record = reinterpret_cast<const IncomingRequestRecord*>(data);
      return {{"name", record->request != nullptr ? record->request->CallerName() : ""}};
    }
    case EV_PACKET_GAP: {
      const auto* rec = reinterpret_cast<const PacketGapRecord*>(data);
      return {{"peer", n(book.IdOf(rec->connection))}, {"gap", n(rec->difference)}};
    }
    case EV_PEER_JOINED: {
      const auto* info = reinterpret_cast<const PeerInfo*>(data);
      const PeerBook::Peer& peer =
          book.Join(info->connection, info->userName, context.joinedAddress);
      return {{"peer", n(peer.id)},
              {"name", peer.name},
              {"addr", peer.address},
              {"version", n(info->peerVersion)},
              {"peers", n(book.Count())}};
    }
    case EV_PEER_LEFT: {
      const PeerBook::Peer peer = book.Leave(reinterpret_cast<Connection*>(data));
      return {{"peer", n(peer.id)},
              {"name", peer.name},
              {"addr", peer.address},
              {"peers", n(book.Count())}};
    }
    case EV_ROUND_TRIP: {
      const auto* rec = reinterpret_cast<const RoundTripRecord*>(data);
      return {{"peer", n(book.IdOf(rec->owner))},
              {"cookie", n(rec->cookie)},
              {"ms", n(rec->roundTripMs)},
              {"queued", n(rec->queuedBuffers)}};
    }
    case EV_CONNECT_FAILED:
    case EV_RINGING:
    case EV_USER_NOT_AT_ADDRESS:
    case EV_REMOTE_BUSY:
    case EV_SESSION_INACCESSIBLE:
    case EV_HOST_NOT_FOUND:
      return {{"addr", context.callAddress}};
    case EV_ALREADY_CONNECTED: {
      const auto* request = reinterpret_cast<const CallRequest*>(data);
      return {{"addr", request->host + ":" + n(request->port)}, {"name", request->calleeName}};
    }
    default:
      return {};
  }
}

}  // namespace dialvo::cli

namespace dialvo::cli {

Fields DescribePeerReport(int id, const PeerReport& report) {
  const auto n = [](auto v) { return std::to_string(v); };
  return {{"peer", n(id)},
          {"name", report.userName},
          {"addr", report.address.ToString()},
          {"sent", n(report.blocksSent)},
          {"received", n(report.blocksReceived)},
          {"lost", n(report.blocksLost)},
          {"dropped", n(report.blocksDropped)},
          {"rtt", report.lastRoundTripMs ? n(*report.lastRoundTripMs) : "-"}};
}

}  // namespace dialvo::cli
