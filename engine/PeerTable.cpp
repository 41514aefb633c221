// The peer list: who takes part in the call, how peers join and leave, and
// the liveness rule.
#include <algorithm>

#include "base/Trace.h"
#include "engine/Connection.h"
#include "engine/EventSink.h"
#include "engine/NetCore.h"

namespace dialvo {

NetCore::PeerWriteLock::PeerWriteLock(NetCore& engine) : engine_(engine) {
  engine_.peerNudge_.Set();
  engine_.peerGuard_.WaitToWrite(kInfinite);
}

NetCore::PeerWriteLock::~PeerWriteLock() { engine_.peerGuard_.DoneWriting(); }

bool NetCore::ReserveSlot() {
  PeerWriteLock guard(*this);
  if (closing_ || peers_.size() + reservedSlots_ >= kMaxPeers) return false;
  ++reservedSlots_;
  return true;
}

void NetCore::ReleaseSlot() {
  PeerWriteLock guard(*this);
  if (reservedSlots_ > 0) --reservedSlots_;
}

bool NetCore::PeerListFull() {
  ReadGuard guard(peerGuard_);
  return peers_.size() + reservedSlots_ >= kMaxPeers;
}

bool NetCore::AdmitPeer(Connection* connection) {
  if (closing_ || stopping_.load()) return false;
  peers_.push_back(connection);
  history_.push_back(
      {connection->UserName(), connection->UserVisibleAddress(), connection->SharedCounters()});
  if (reservedSlots_ > 0) --reservedSlots_;
  // Voice starts with the first peer, once per engine.
  if (!voiceRunning_.load()) {
    StartVoice();
    sink_->PostEvent(EV_CALL_STARTED, uintptr_t{0});
  }
  sink_->PostEvent(EV_PEER_JOINED, NewPeerInfo(connection->UserName().c_str(), connection,
                                               connection->PeerVersion()));
  return true;
}

bool NetCore::RemoveFromList(Connection* connection, const uint64_t* serial) {
  PeerWriteLock guard(*this);
  auto it = std::find(peers_.begin(), peers_.end(), connection);
  // A stale pointer from an earlier round may meet a new connection at the
  // same address: the serial tells them apart.
  if (it == peers_.end() || (serial != nullptr && (*it)->Serial() != *serial)) return false;
  connection->HangUp(true);
  peers_.erase(it);
  if (connection == local_) local_ = nullptr;
  delete connection;
  const bool anyConnected =
      std::any_of(peers_.begin(), peers_.end(), [](Connection* c) { return c->IsConnected(); });
  if (!anyConnected && !stopping_.load()) sink_->PostEvent(EV_CALL_ENDED, uintptr_t{0});
  return true;
}

void NetCore::RemovePeer(Connection* connection) { RemoveFromList(connection, nullptr); }

bool NetCore::Disconnect(Connection* connection) { return RemoveFromList(connection, nullptr); }

void NetCore::DisconnectAll() {
  PeerWriteLock guard(*this);
  closing_ = true;  // nobody joins any more
  for (Connection* c : peers_) {
    c->HangUp(true);
    delete c;
  }
  peers_.clear();
  local_ = nullptr;
}

void NetCore::ScanLiveness() {
  PeerWriteLock guard(*this);
  const uint32_t now = clock_->TickMs();
  // Removal changes the list: look again from the start after each one.
  for (;;) {
    auto silent = std::find_if(peers_.begin(), peers_.end(), [&](Connection* c) {
      return c->IsRemote() && now - c->LastReceiveTime() > config_.livenessLimitMs;
    });
    if (silent == peers_.end()) break;
    TraceLog("Removing a peer silent for %u ms", now - (*silent)->LastReceiveTime());
    RemovePeer(*silent);
  }
}

bool NetCore::GetPeers(std::vector<PeerEntry>& peers) {
  peers.clear();
  ReadGuard guard(peerGuard_);
  for (Connection* c : peers_) {
    if (c->IsRemote() && c->IsConnected()) {
      peers.push_back({c, c->UserName(), c->UserVisibleAddress()});
    }
  }
  return true;
}

Connection* NetCore::FindConnectedPeer(const SockAddr& address, const std::string& name) {
  for (Connection* c : peers_) {
    if (!c->IsConnected()) continue;
    if (c->PeerAddress() == address) return c;
    // Same length, same bytes: letter case counts here.
    if (!name.empty() && c->UserName() == name) return c;
  }
  return nullptr;
}

}  // namespace dialvo
