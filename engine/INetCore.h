#pragma once
// The voice engine as the application sees it.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/UdpSocket.h"

namespace dialvo {

class Connection;
struct CallRequest;

// One connected remote peer as GetPeers lists it. The address is the
// caller's address for a peer that called us, the callee's listening address
// for a peer we called.
struct PeerEntry {
  Connection* connection = nullptr;
  std::string userName;
  SockAddr address;
};

class INetCore {
 public:
  virtual ~INetCore() = default;

  // Places a call, or adds a peer to the conference; blocks for the whole
  // dialogue. The connection on success, null otherwise (events tell why).
  virtual Connection* Connect(const CallRequest& request) = 0;
  virtual bool StartServer() = 0;
  // Hangs up every peer and ends every thread of the engine.
  virtual bool Stop() = 0;
  virtual bool IsActive() const = 0;
  // MSG_R_U_THERE from the listening socket; the answer is EV_ROUND_TRIP.
  virtual bool SendPing(uint32_t cookie, const SockAddr& to) = 0;
  virtual bool SendKeepAlive() = 0;
  virtual std::string GetSessionId() const = 0;
  virtual void SetRecording(bool on) = 0;
  virtual void SetUserName(std::string_view name) = 0;
  virtual void SetValidation(bool on) = 0;
  // Clears peers, then lists every connected remote peer.
  virtual bool GetPeers(std::vector<PeerEntry>& peers) = 0;
  // Hangs up one peer; false when it is not in the peer list.
  virtual bool Disconnect(Connection* connection) = 0;
};

}  // namespace dialvo
