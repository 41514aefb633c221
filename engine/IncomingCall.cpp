// The dialogue with one caller: checks, ringing, the user's decision and the
// answer, on a thread of its own.
#include <memory>

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

bool MasterServer::SendAnswer(Connection* connection, const Message& answer, int times) {
  for (int i = 0; i < times; ++i) {
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

  if (identity.protocolVersion < kProtocolVersion) {
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
    connection->SetPeerVersion(identity.protocolVersion);
    if (engine_.IsActive() && !identity.sessionId.empty() &&
        !SameIgnoringCase(identity.sessionId, engine_.GetSessionId())) {
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
  const uint32_t decision =
      ask->WaitForDecision(engine_.StopEvent(), engine_.Config().decisionPollMs);

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
  if (!SendAnswer(connection, answer, kAnswerRepeats)) {
    if (slot) engine_.ReleaseSlot();
    return;
  }
  if (slot) {
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

}  // namespace dialvo
