// The dialogue with one caller: checks, ringing, the user's decision and the
// answer, on a thread of its own.
#include <algorithm>
#include <memory>
#include <vector>

#include "base/CSem.h"
#include "base/Swmrg.h"
#include "base/Trace.h"
#include "engine/Connection.h"
#include "engine/EventSink.h"
#include "engine/IncomingRequest.h"
#include "engine/MasterServer.h"
#include "engine/NetCore.h"
#include "engine/SessionId.h"

namespace dialvo {

using namespace wire;

uint32_t MasterServer::IncomingThreadEntry(void* parameter) {
  std::unique_ptr<IncomingContext> context(static_cast<IncomingContext*>(parameter));
  const std::vector<uint8_t> request = std::move(context->request);
  MasterServer* server = context->server;
  Connection* connection = context->connection;
  context.reset();
  server->ProcessIncoming(connection, request);
  return 0;
}

bool MasterServer::SendAnswer(Connection* connection, const Message& answer, int times,
                              bool charged) {
  const uint32_t ip = connection->RemoteAddress().ip;
  const auto size = static_cast<uint32_t>(answer.Bytes().size());
  for (int i = 0; i < times; ++i) {
    if (charged && !budget_.Spend(ip, size, engine_.GetClock().TickMs())) {
      TraceLog("Answer repeats cut short: the caller's address asks too often");
      return true;
    }
    if (!Send(*connection, answer)) {
      TraceLog("Send Failed on socket %x , Error = %d",
               static_cast<unsigned>(connection->SocketFd()), connection->LastSocketError());
      connection->CloseSocket();
      return false;
    }
    SleepMs(kAnswerGapMs);
  }
  return true;
}

void MasterServer::ProcessIncoming(Connection* connection, std::span<const uint8_t> request) {
  const std::string caller = connection->RemoteAddress().IpText();
  if (engine_.IsStopping()) {
    connection->CloseSocket();
    TraceLog("Stop Issued detected processing incoming connection request.");
    return;
  }
  // The identity block as received; fields beyond what the caller sent read
  // as zeros.
  DatagramView view;
  view.type = request[4];
  view.bytes = request;
  view.payload = request.subspan(kHeaderSize, kCallIdentityLength);
  const CallIdentity identity = ParseCallIdentity(view).value_or(CallIdentity{});

  // While a call runs, only a caller who knows its session may join it,
  // whatever version it speaks: an empty or malformed session is a
  // mismatch. An idle engine serves older callers as it always did.
  const bool active = engine_.IsActive();
  if (identity.protocolVersion < kProtocolVersion && !active) {
    connection->SetUserName(identity.userName);
    connection->SetPeerVersion(1);
  } else {
    // The session names files later: anything but GUID text is malformed.
    if (!identity.sessionId.empty() && !IsValidSessionId(identity.sessionId)) {
      Send(*connection, BuildControl(MSG_SESSION_INACCESSIBLE));
      connection->CloseSocket();
      TraceLog("Dropping connection request from %s since its session is malformed",
               caller.c_str());
      return;
    }
    if (!identity.expectedCallee.empty() &&
        !SameIgnoringCase(identity.expectedCallee, engine_.UserName())) {
      Send(*connection, BuildControl(MSG_WRONG_USER));
      connection->CloseSocket();
      TraceLog("Dropping connection request from %s since the confirm user failed", caller.c_str());
      return;
    }
    connection->SetUserName(identity.userName);
    connection->SetPeerVersion(
        identity.protocolVersion < kProtocolVersion ? 1 : identity.protocolVersion);
    if (active && !SameIgnoringCase(identity.sessionId, engine_.GetSessionId())) {
      Send(*connection, BuildControl(MSG_SESSION_INACCESSIBLE));
      connection->CloseSocket();
      TraceLog("Dropping connection request from %s since the session is inaccessable",
               caller.c_str());
      return;
    }
  }
  // The mixer takes at most kMaxPeers parties: a full conference turns the
  // caller away before the user is asked.
  if (engine_.PeerListFull()) {
    Send(*connection, BuildControl(MSG_BUSY));
    connection->CloseSocket();
    TraceLog("Dropping connection request from %s since the conference is full", caller.c_str());
    return;
  }
  if (!Send(*connection, BuildControl(MSG_RINGING))) {
    TraceLog("Send Failed on socket %x , Error = %d", static_cast<unsigned>(connection->SocketFd()),
             connection->LastSocketError());
    TraceLog("Send falied");
    connection->CloseSocket();
    return;
  }

  // The application and this thread share the request, so that an answer
  // given after this thread stopped waiting touches nothing freed. A
  // stopping engine takes the undecided request as rejected.
  auto ask = std::make_shared<IncomingRequest>(connection->UserName());
  TraceLog("Notifying the user about request from %s", caller.c_str());
  engine_.Sink().PostEvent(engine_.IsActive() ? EV_CONFERENCE_REQUEST : EV_INCOMING_CALL,
                           new IncomingRequestRecord{ask});
  // A request nobody decides is turned away in about the time its caller
  // waits, so that undecided requests cannot hold the pending slots.
  const uint32_t decision = ask->WaitForDecision(
      engine_.StopEvent(), engine_.Config().decisionPollMs, engine_.Config().decisionLimitMs);

  bool slot = false;
  Message answer = BuildControl(MSG_RINGING);
  if (decision == IncomingRequest::kAccept) {
    // The place in the conference is held from the accept on, so that two
    // callers accepted at once cannot overfill it.
    slot = engine_.ReserveSlot();
    if (slot) {
      CallIdentity mine;
      mine.userName = engine_.UserName();
      mine.protocolVersion = engine_.ProtocolVersion();
      mine.sessionId = engine_.AdoptSession(identity.sessionId);
      answer = BuildCallIdentity(MSG_ACCEPT, mine);
    } else {
      answer = BuildControl(MSG_BUSY);
    }
  } else if (decision == IncomingRequest::kReject) {
    answer = BuildControl(MSG_REJECT);
  }
  // The reject repeats are unasked-for traffic and stop once the caller's
  // address has spent its allowance. The accepts always go out (the user
  // decided), but their bytes are charged to the address until the caller
  // shows it receives there: meanwhile that address gets no more answers.
  const uint32_t ip = connection->RemoteAddress().ip;
  const auto handshake = static_cast<uint32_t>(answer.Bytes().size()) * kAnswerRepeats;
  if (slot) budget_.Charge(ip, handshake, engine_.GetClock().TickMs());
  if (!SendAnswer(connection, answer, kAnswerRepeats, !slot)) {
    if (slot) engine_.ReleaseSlot();
    return;
  }
  if (slot) {
    uint32_t pings = 0;
    if (!AwaitReturnRoute(connection, pings)) {
      // Whoever claimed that address drew a whole handshake and never
      // answered from it: the debt stays, and the place is free at once. A
      // caller that has its accept learns that the call is off (the engine
      // may be stopping).
      TraceLog("Dropping the caller at %s: it never answered from there", caller.c_str());
      budget_.Charge(ip, pings, engine_.GetClock().TickMs());
      SendHangupFor(*connection);
      connection->CloseSocket();
      engine_.ReleaseSlot();
      return;
    }
    budget_.Refund(ip, handshake, engine_.GetClock().TickMs());
    AdmitAccepted(connection);
  } else if (decision == IncomingRequest::kAccept || decision == IncomingRequest::kReject) {
    connection->CloseSocket();
    connection->SetConnected(false);
  }
}

void MasterServer::AdmitAccepted(Connection* connection) {
  connection->SetConnected(true);
  connection->SetLastReceiveTime(engine_.GetClock().TickMs());
  CSemLock lock(lock_);                   // lock order: MasterServer lock,
  NetCore::PeerWriteLock guard(engine_);  // then the peer guard
  if (!engine_.AdmitPeer(connection)) {
    // Stopping: the caller, who has its accept, is hung up; the connection
    // stays with its pending entry and is reaped.
    SendHangupFor(*connection);
    connection->SetConnected(false);
    connection->CloseSocket();
    engine_.ReleaseSlot();
    return;
  }
  for (Pending& p : pending_) {
    if (p.connection == connection) p.connection = nullptr;
  }
}

bool MasterServer::AwaitReturnRoute(Connection* connection, uint32_t& sent) {
  // So far the caller's address was only claimed. Before the caller joins
  // (and is sent voice) it must echo a ping of ours, which only whoever
  // receives at that address can do; honest callers of any version echo at
  // once. What else it sends meanwhile (its first voice) is dropped.
  const EngineConfig& config = engine_.Config();
  const uint32_t period = std::max<uint32_t>(config.returnRoutePingMs, 1);
  std::vector<uint8_t> buffer(kReceiveBuffer);
  std::vector<bool> ready;
  const uint32_t start = GetTickCount();
  uint32_t nextPing = start;
  for (;;) {
    const uint32_t now = GetTickCount();
    if (engine_.IsStopping() || now - start >= config.returnRouteLimitMs) return false;
    if (static_cast<int32_t>(now - nextPing) >= 0) {
      const uint32_t tick = engine_.GetClock().TickMs();
      const Message ping = BuildPing(tick, connection->NewPingCookie(tick));
      if (Send(*connection, ping)) sent += static_cast<uint32_t>(ping.Bytes().size());
      nextPing = now + period;
    }
    const uint32_t wait = std::min(nextPing - now, config.returnRouteLimitMs - (now - start));
    const int fds[] = {connection->SocketFd(), engine_.StopEvent().Fd()};
    if (WaitReadable(fds, wait, ready) <= 0 || !ready[0]) continue;
    const UdpSocket::Received got = connection->ReceiveWaiting(buffer);
    if (got.status != UdpSocket::Status::kOk || !connection->IsFrom(got.from)) continue;
    const std::optional<DatagramView> dg =
        ValidateDatagram(std::span<const uint8_t>(buffer.data(), got.size));
    if (!dg) continue;
    if (dg->type == MSG_HANGUP) return false;
    if (dg->type != MSG_I_AM_HERE) continue;
    const std::optional<PingPayload> echo = ParsePing(*dg);
    if (echo && connection->TakeEcho(echo->cookie)) return true;
  }
}

}  // namespace dialvo
