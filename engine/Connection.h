#pragma once
// One party of a call, the local user included: its socket, where it sends,
// who it is and what arrived from it.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>

#include "base/CSem.h"
#include "base/UdpSocket.h"
#include "engine/PeerPacket.h"
#include "engine/Voice.h"
#include "engine/VoiceSender.h"
#include "engine/wire/Message.h"

namespace dialvo {

class GsmCodec;
class NetCore;

enum ConnectionKind : uint32_t {
  CONN_LOCAL = 0,     // the local microphone, looped back to the engine itself
  CONN_INCOMING = 1,  // a caller; its traffic is relayed by the listening server
  CONN_OUTGOING = 2,  // a callee; spoken to from a socket of its own
};

// What went on with one peer, kept beyond the connection's life so that a
// summary can be given after the call. Written by the voice threads.
struct PeerCounters {
  std::atomic<uint32_t> blocksSent{0};      // voice datagrams the mixer sent the peer
  std::atomic<uint32_t> blocksReceived{0};  // voice datagrams that passed the sequence check
  std::atomic<uint32_t> blocksLost{0};      // sequence numbers skipped
  std::atomic<uint32_t> blocksDropped{0};   // blocks that found the jitter queue full
  std::atomic<uint32_t> lastRoundTripMs{0};
  std::atomic<bool> roundTripKnown{false};
};

class Connection final : public VoiceLink {
 public:
  // CONN_LOCAL binds its loopback socket, CONN_INCOMING connects its socket
  // to the engine's listening port (remote: the caller), CONN_OUTGOING has
  // no socket until call setup opens one.
  Connection(NetCore& engine, ConnectionKind kind, const SockAddr& remote = {});
  ~Connection() override;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  ConnectionKind Kind() const { return kind_; }
  bool IsRemote() const { return kind_ != CONN_LOCAL; }
  // Tells apart a connection from an earlier one at the same address.
  uint64_t Serial() const { return serial_; }

  bool IsConnected() const { return connected_.load(); }
  void SetConnected(bool connected) { connected_.store(connected); }

  // Where Send sends. Set by the constructor, or by call setup for
  // CONN_OUTGOING before the connection is shared.
  SockAddr PeerAddress() const { return peerAddress_; }
  void SetPeerAddress(const SockAddr& address) { peerAddress_ = address; }
  // CONN_INCOMING: the caller as the listening socket sees it.
  SockAddr RemoteAddress() const { return remoteAddress_; }
  // CONN_INCOMING: the local address of its socket, which the listening
  // server sees as the source of everything the engine sends to the caller.
  SockAddr LocalName() const { return localName_; }
  // The peer's address as the user knows it (GetPeers).
  SockAddr UserVisibleAddress() const {
    return kind_ == CONN_INCOMING ? remoteAddress_ : peerAddress_;
  }

  // The peer's name and protocol version, from its request or accept. Set
  // before the connection joins the peer list, read after.
  const std::string& UserName() const { return userName_; }
  // A peer that sends no name stays "UNKNOWN".
  void SetUserName(std::string name) {
    if (!name.empty()) userName_ = std::move(name);
  }
  uint32_t PeerVersion() const { return peerVersion_; }
  void SetPeerVersion(uint32_t version) { peerVersion_ = version; }

  // Whether a datagram from this address is the peer's: only its full
  // address (IP and port) counts, so that nobody else can speak for it.
  bool IsFrom(const SockAddr& source) const { return source == peerAddress_; }

  // Tick count of the last sign of life from this peer: voice that passed
  // the sequence check, or an echo of one of our own pings.
  uint32_t LastReceiveTime() const { return lastReceiveTime_.load(); }
  void SetLastReceiveTime(uint32_t tick) { lastReceiveTime_.store(tick); }
  // The voice sequence seen so far; used by the receive loop only.
  VoiceSequence& ReceivedSequence() { return receivedSequence_; }

  // A fresh random cookie for a ping sent at tick; the last few stay
  // outstanding until echoed.
  uint32_t NewPingCookie(uint32_t tick);
  // The tick the ping with this cookie was sent at, if it is outstanding;
  // the cookie is used up.
  std::optional<uint32_t> TakeEcho(uint32_t cookie);

  // Held by call setup for the whole dialogue.
  CSem& Lock() { return lock_; }

  // Socket. Opening and closing happen while the connection is not shared
  // or under the peer guard for writing.
  bool OpenUnboundSocket();
  void CloseSocket();
  bool HasSocket() const;
  int SocketFd() const;  // for readiness waits; -1 when closed
  // Receives one datagram that is already waiting (no blocking).
  UdpSocket::Received ReceiveWaiting(std::span<uint8_t> buffer);
  int LastSocketError() const;

  // DatagramSink: sends to the peer address (a CONN_INCOMING socket is
  // connected to the listening port) and reports EV_BYTES_SENT.
  bool SendDatagram(std::span<const uint8_t> bytes) override;
  uint32_t TakeSendSequence() override;
  void ReportBytesSent(uint32_t bytes) override;
  int LastSendError() const override { return LastSocketError(); }

  // Ends the conversation with this peer: EV_PEER_LEFT and (if asked and the
  // peer is remote) MSG_HANGUP when it was connected; the socket is closed
  // in any case.
  void HangUp(bool sendHangup);

  // A voice datagram that passed the sequence check: decoded into one block
  // (silence where frames are missing or broken) and offered to the jitter
  // queue. False when the queue was full and the block was dropped. The
  // receive-play thread only.
  bool AcceptVoice(const wire::DatagramView& voice);
  uint32_t VoiceBlocksReceived() const { return counters_->blocksReceived.load(); }
  // Blocks waiting for the mixer (reported with round trips).
  JitterQueue& Jitter() { return jitter_; }
  uint32_t QueuedBlocks() const { return static_cast<uint32_t>(jitter_.Size()); }
  // One GSM state per direction, made with the connection.
  GsmCodec* Encoder() { return encoder_.get(); }
  GsmCodec* Decoder() { return decoder_.get(); }
  PeerCounters& Counters() { return *counters_; }
  const std::shared_ptr<PeerCounters>& SharedCounters() const { return counters_; }

 private:
  NetCore& engine_;
  const ConnectionKind kind_;
  const uint64_t serial_;

  // Guards socket_ (its descriptor and last error) against a close or a
  // send from another thread; taken by every thread that sends or receives
  // on it, never while waiting for data. Innermost lock.
  mutable std::mutex socketMutex_;
  UdpSocket socket_;

  CSem lock_;  // held by call setup while it dials; no other lock is taken inside it
  SockAddr peerAddress_;
  SockAddr remoteAddress_;
  SockAddr localName_;
  std::string userName_ = "UNKNOWN";
  uint32_t peerVersion_ = 1;
  std::atomic<bool> connected_{false};
  std::atomic<uint32_t> sendSequence_{1};
  VoiceSequence receivedSequence_;
  std::atomic<uint32_t> lastReceiveTime_{0};

  // Guards the ping cookies and their generator; taken by the threads that
  // ping (keep-alive, the caller check) and the receive loop. Innermost.
  std::mutex cookieMutex_;
  struct Outstanding {
    uint32_t cookie = 0;  // 0: free
    uint32_t tick = 0;
  };
  static constexpr size_t kOutstandingPings = 4;
  std::array<Outstanding, kOutstandingPings> pings_{};
  size_t nextPing_ = 0;
  std::mt19937 cookieSource_;
  const std::shared_ptr<PeerCounters> counters_ = std::make_shared<PeerCounters>();

  std::unique_ptr<GsmCodec> encoder_;  // one GSM state per direction
  std::unique_ptr<GsmCodec> decoder_;
  AudioBlock decoded_{};  // the receive-play thread's decoding space
  JitterQueue jitter_;
};

}  // namespace dialvo
