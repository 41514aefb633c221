#pragma once
// The client's output: one line per event, "<ms> <WORD> key=value ...".
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/UdpSocket.h"

namespace dialvo {
class Connection;
struct PeerReport;
}  // namespace dialvo

namespace dialvo::cli {

using Fields = std::vector<std::pair<std::string, std::string>>;

// Writes a value without blanks in printable ASCII: ' ', '%', '=' and every
// byte outside 0x21..0x7E become %XX.
std::string EscapeValue(std::string_view value);

// A field with an empty key is written as its value alone.
std::string FormatLine(uint64_t ms, std::string_view word, const Fields& fields);

// The peers of the current engine, numbered from 1 as they join; a peer that
// left keeps its number for the events that follow its departure. Connection
// pointers are only compared, never followed.
class PeerBook {
 public:
  struct Peer {
    int id = 0;
    std::string name;
    std::string address;  // ip:port, or empty when unknown
    bool present = false;
  };
  const Peer& Join(Connection* connection, std::string name, std::string address);
  // The peer that left; id 0 when it was not known.
  Peer Leave(Connection* connection);
  // 0 for a connection that never joined.
  int IdOf(const void* connection) const;
  // Peers present.
  size_t Count() const;
  void Clear() { peers_.clear(); }

 private:
  std::map<const void*, Peer> peers_;
  int nextId_ = 1;
};

// What the client knows beside the event's own data.
struct EventContext {
  std::string callAddress;  // host:port of the call placed, if any
  std::string sessionId;
  uint16_t listeningPort = 0;
  // Where a peer that just joined is (from the engine's peer list).
  std::string joinedAddress;
};

// The fields of an engine event. Updates the book for joins and departures.
// data is the event's data value, still owned by the caller.
Fields DescribeEvent(uint32_t code, uintptr_t data, PeerBook& book, const EventContext& context);

}  // namespace dialvo::cli

namespace dialvo::cli {

// The summary of one peer after a call: peer, name, addr, sent, received,
// lost, dropped and rtt ("-" when no round trip was measured).
Fields DescribePeerReport(int id, const PeerReport& report);

}  // namespace dialvo::cli
