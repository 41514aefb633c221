#include "engine/Connection.h"

#include <atomic>

#include "audio/GsmCodec.h"
#include "base/Trace.h"
#include "engine/EventSink.h"
#include "engine/MasterServer.h"
#include "engine/NetCore.h"

namespace dialvo {

namespace {
std::atomic<uint64_t> nextSerial{1};
}  // namespace

Connection::Connection(NetCore& engine, ConnectionKind kind, const SockAddr& remote)
    : engine_(engine),
      kind_(kind),
      serial_(nextSerial.fetch_add(1)),
      cookieSource_(std::random_device{}()),
      encoder_(CreateCodec()),
      decoder_(CreateCodec()) {
  switch (kind_) {
    case CONN_LOCAL: {
      // The local microphone comes back to the engine through this socket.
      // When the configured port is taken (another engine on this PC), any
      // free loopback port does as well: the connection sends to itself.
      socket_.Open();
      if (!socket_.Bind(SockAddr::Loopback(engine_.Config().localPort)) &&
          !socket_.Bind(SockAddr::Loopback(0))) {
        TraceLog("Local connection could not bind a loopback port, Error = %d",
                 socket_.LastError());
        socket_.Close();
      }
      if (auto name = socket_.LocalName()) localName_ = *name;
      peerAddress_ =
          localName_.port != 0 ? localName_ : SockAddr::Loopback(engine_.Config().localPort);
      break;
    }
    case CONN_INCOMING: {
      remoteAddress_ = remote;
      peerAddress_ = SockAddr::Loopback(engine_.ListeningPort());
      if (!socket_.Open() || !socket_.Connect(peerAddress_)) {
        socket_.Close();
        TraceLog("Connect call failed on the UDP socket");
      }
      if (auto name = socket_.LocalName()) localName_ = *name;
      break;
    }
    case CONN_OUTGOING:
      break;
  }
}

Connection::~Connection() { CloseSocket(); }

bool Connection::OpenUnboundSocket() {
  std::lock_guard lock(socketMutex_);
  return socket_.Open();
}

void Connection::CloseSocket() {
  std::lock_guard lock(socketMutex_);
  socket_.Close();
}

bool Connection::HasSocket() const {
  std::lock_guard lock(socketMutex_);
  return socket_.IsValid();
}

int Connection::SocketFd() const {
  std::lock_guard lock(socketMutex_);
  return socket_.Fd();
}

UdpSocket::Received Connection::ReceiveWaiting(std::span<uint8_t> buffer) {
  std::lock_guard lock(socketMutex_);
  return socket_.ReceiveFrom(buffer, 0);
}

int Connection::LastSocketError() const {
  std::lock_guard lock(socketMutex_);
  return socket_.LastError();
}

bool Connection::SendDatagram(std::span<const uint8_t> bytes) {
  std::lock_guard lock(socketMutex_);
  if (!socket_.IsValid()) return false;
  if (kind_ == CONN_INCOMING) return socket_.Send(bytes);
  return socket_.SendTo(bytes, peerAddress_);
}

uint32_t Connection::NewPingCookie(uint32_t tick) {
  std::lock_guard lock(cookieMutex_);
  uint32_t cookie = 0;
  while (cookie == 0) cookie = static_cast<uint32_t>(cookieSource_());
  pings_[nextPing_] = {cookie, tick};
  nextPing_ = (nextPing_ + 1) % pings_.size();
  return cookie;
}

std::optional<uint32_t> Connection::TakeEcho(uint32_t cookie) {
  if (cookie == 0) return std::nullopt;
  std::lock_guard lock(cookieMutex_);
  for (Outstanding& ping : pings_) {
    if (ping.cookie == cookie) {
      ping.cookie = 0;
      return ping.tick;
    }
  }
  return std::nullopt;
}

uint32_t Connection::TakeSendSequence() { return sendSequence_.fetch_add(1); }

void Connection::ReportBytesSent(uint32_t bytes) {
  engine_.Sink().PostEvent(EV_BYTES_SENT, new ByteCountRecord{this, bytes});
}

void Connection::HangUp(bool sendHangup) {
  if (IsConnected()) {
    engine_.Sink().PostEvent(EV_PEER_LEFT, this);
    if (sendHangup && kind_ == CONN_OUTGOING) {
      wire::Send(*this, wire::BuildControl(wire::MSG_HANGUP));
    } else if (sendHangup && kind_ == CONN_INCOMING && engine_.Server() != nullptr) {
      engine_.Server()->SendHangupFor(*this);
    }
    SetConnected(false);
  }
  CloseSocket();
}

bool Connection::AcceptVoice(const wire::DatagramView& voice) {
  counters_->blocksReceived.fetch_add(1);
  // Frames a datagram lacks, and frames the codec refuses, stay silent.
  decoded_.fill(0);
  uint32_t samples = 0;
  if (decoder_ != nullptr) decoder_->DecodePacket(voice, decoded_, samples);
  if (jitter_.Offer(decoded_)) return true;
  counters_->blocksDropped.fetch_add(1);
  return false;
}

}  // namespace dialvo
