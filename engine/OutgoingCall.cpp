// Placing a call: the request, the callee's answers, retries and time-outs.
#include <optional>

#include "base/Swmrg.h"
#include "base/Trace.h"
#include "engine/CallRequest.h"
#include "engine/Connection.h"
#include "engine/EventSink.h"
#include "engine/NetCore.h"
#include "engine/SessionId.h"

namespace dialvo {

using namespace wire;

namespace {
constexpr int kAttempts = 3;
constexpr int kWaitsPerAttempt = 3;
}  // namespace

Connection* NetCore::Connect(const CallRequest& request) {
  if (stopping_.load()) return nullptr;
  if (auto ip = ResolveHost(request.host)) {
    const SockAddr callee{*ip, static_cast<uint16_t>(request.port & 0xFFFFu)};
    ReadGuard guard(peerGuard_);
    if (FindConnectedPeer(callee, request.calleeName) != nullptr) {
      sink_->PostEvent(EV_ALREADY_CONNECTED, new CallRequest(request));
      return nullptr;
    }
  }
  // The mixer takes at most kMaxPeers parties: no request goes out for a
  // party that would not fit.
  if (!ReserveSlot()) {
    TraceLog("Connect Failed: the conference is full");
    sink_->PostEvent(EV_CONNECT_FAILED, uintptr_t{0});
    return nullptr;
  }
  auto* connection = new Connection(*this, CONN_OUTGOING);
  if (!Dial(connection, request)) {
    ReleaseSlot();
    delete connection;
    return nullptr;
  }
  return connection;
}

bool NetCore::GiveUp(const CallRequest& request) const {
  return stopping_.load() || request.cancel.load() != 0;
}

bool NetCore::Dial(Connection* connection, const CallRequest& request) {
  if (connection->IsConnected()) {
    TraceLog("Already Connected");
    return false;
  }
  // Held for the dialogue only: once accepted, the connection belongs to the
  // peer list and may be gone at any moment.
  connection->Lock().WaitOnSemaphore(kInfinite);
  if (!connection->OpenUnboundSocket()) {
    TraceLog("Connect Failed");
    connection->Lock().SignalSemaphore();
    return false;
  }
  const std::optional<uint32_t> ip = ResolveHost(request.host);
  if (!ip) {
    TraceLog("gethostbyname failed");
    sink_->PostEvent(EV_HOST_NOT_FOUND, connection);
    connection->CloseSocket();
    connection->Lock().SignalSemaphore();
    return false;
  }
  connection->SetPeerAddress({*ip, static_cast<uint16_t>(request.port & 0xFFFFu)});
  std::optional<CallIdentity> callee;
  const bool accepted = Handshake(connection, request, callee);
  connection->Lock().SignalSemaphore();
  if (accepted && AcceptCall(connection, request, callee)) return true;
  TraceLog("Connect Failed");
  sink_->PostEvent(EV_CONNECT_FAILED, uintptr_t{0});
  connection->CloseSocket();
  return false;
}

bool NetCore::Handshake(Connection* connection, const CallRequest& request,
                        std::optional<wire::CallIdentity>& callee) {
  std::vector<uint8_t> buffer(kSetupReceiveBuffer);
  std::vector<bool> ready;
  const SockAddr dialled = connection->PeerAddress();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (GiveUp(request)) return false;
    CallIdentity mine;
    mine.userName = UserName();
    mine.protocolVersion = protocolVersion_;
    if (active_.load()) mine.sessionId = GetSessionId();
    if (request.confirmUser != 0) mine.expectedCallee = request.calleeName;
    if (!Send(*connection, BuildCallIdentity(MSG_CONNECT_REQUEST, mine))) {
      TraceLog("Connect Failed Once");
      continue;
    }
    TraceLog("Connect Request Sent..");
    for (int wait = 0; wait < kWaitsPerAttempt; ++wait) {
      // A wait ends after its time whatever arrives: datagrams that are not
      // the callee's answer neither use a wait up nor start a fresh one.
      const uint32_t waitStart = GetTickCount();
      std::optional<DatagramView> answer;
      while (!answer) {
        if (GiveUp(request)) return false;
        const uint32_t spent = GetTickCount() - waitStart;
        if (spent >= config_.handshakeWaitMs) break;
        std::fill(buffer.begin(), buffer.end(), 0);
        const int fds[] = {connection->SocketFd(), stopEvent_.Fd()};
        const int readable = WaitReadable(fds, config_.handshakeWaitMs - spent, ready);
        if (GiveUp(request)) return false;
        if (readable <= 0 || !ready[0]) continue;
        const UdpSocket::Received got = connection->ReceiveWaiting(buffer);
        const unsigned fd = static_cast<unsigned>(connection->SocketFd());
        if (got.status == UdpSocket::Status::kTooLarge) {
          TraceLog("Recv [WSAEMSGSIZE] Failed on socket %x, bufsize=%d,  recvsize=%d", fd,
                   static_cast<int>(buffer.size()), static_cast<int>(got.size));
        } else if (got.status == UdpSocket::Status::kError) {
          TraceLog("Recv Failed on socket %x, ErrorCode = %d, bufsize=%d,  recvsize=%d", fd,
                   got.error, static_cast<int>(buffer.size()), 0);
        }
        if (got.status != UdpSocket::Status::kOk) continue;
        // The callee answers from the port it was called at; a datagram
        // from anywhere else is somebody else's.
        if (got.from != dialled) {
          TraceLog("Ignoring message from %s Expected only from %s", got.from.ToString().c_str(),
                   dialled.ToString().c_str());
          continue;
        }
        const std::span<const uint8_t> bytes(buffer.data(), got.size);
        answer = ValidateDatagram(bytes);
        if (!answer) TraceLog("Ignoring an invalid message");
      }
      if (!answer) {
        TraceLog("Response timed out once");
        continue;
      }
      switch (answer->type) {
        case MSG_ACCEPT:
          // An accept without an identity block names the peer after the request.
          if (answer->PayloadLength() > 0) callee = ParseCallIdentity(*answer);
          return true;
        case MSG_WRONG_USER:
          TraceLog("Remote user not logged into the IP address specified");
          sink_->PostEvent(EV_USER_NOT_AT_ADDRESS, uintptr_t{0});
          return false;
        case MSG_BUSY:
          TraceLog("Remote user is busy on a call");
          sink_->PostEvent(EV_REMOTE_BUSY, uintptr_t{0});
          SleepMs(config_.busyPauseMs);
          break;
        case MSG_RINGING:
          TraceLog("Ringing now at remote..");
          sink_->PostEvent(EV_RINGING, uintptr_t{0});
          break;
        case MSG_REJECT:
          TraceLog("Ringing stopped at remote..");
          return false;
        case MSG_SESSION_INACCESSIBLE:
          TraceLog("CANNOT connect to another voice session");
          sink_->PostEvent(EV_SESSION_INACCESSIBLE, uintptr_t{0});
          return false;
        default:
          break;
      }
    }
  }
  return false;
}

bool NetCore::AcceptCall(Connection* connection, const CallRequest& request,
                         const std::optional<CallIdentity>& callee) {
  if (callee) {
    connection->SetUserName(callee->userName);
    connection->SetPeerVersion(callee->protocolVersion);
  } else {
    connection->SetUserName(request.calleeName);
  }
  std::string offered = callee ? callee->sessionId : std::string();
  if (!offered.empty() && !IsValidSessionId(offered)) {
    TraceLog("Ignoring the malformed session offered by the callee");
    offered.clear();
  }
  AdoptSession(offered);
  TraceLog("Connected..");
  connection->SetConnected(true);
  connection->SetLastReceiveTime(clock_->TickMs());
  PeerWriteLock guard(*this);
  if (!AdmitPeer(connection)) {
    // Stopping: the callee learns at once that the call is off.
    Send(*connection, BuildControl(MSG_HANGUP));
    connection->SetConnected(false);
    return false;
  }
  return true;
}

}  // namespace dialvo
