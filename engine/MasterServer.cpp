#include "engine/MasterServer.h"

#include <algorithm>
#include <cerrno>

#include "base/Swmrg.h"
#include "base/ThreadMessages.h"
#include "base/Trace.h"
#include "engine/Connection.h"
#include "engine/EventSink.h"
#include "engine/NetCore.h"

namespace dialvo {

using namespace wire;

MasterServer::MasterServer(NetCore& engine)
    : engine_(engine),
      budget_(engine.Config().answerBurstBytes, engine.Config().answerRefillBytesPerSecond) {}

MasterServer::~MasterServer() { Reap(true); }

uint32_t MasterServer::RunServerThread() {
  TraceLog("Waiting for incoming connection");
  PeekMessage();
  // Bound before the starter goes on, so that it knows the port it listens on.
  const bool bound = OpenListeningSocket();
  if (NamedThread* self = NamedThread::Current()) self->ReleaseStartSemaphore();
  if (engine_.IsStopping()) {
    std::lock_guard lock(socketMutex_);
    listening_.Close();
    return 0;
  }
  if (bound) DispatchLoop();
  // The socket stays open until the last dialogue has ended: a caller
  // accepted while the engine stopped is hung up from it.
  Reap(true);
  {
    std::lock_guard lock(socketMutex_);
    listening_.Close();
  }
  if (!bound) {
    TraceLog("Server Bind error");
    engine_.Sink().PostEvent(EV_SERVER_BIND_ERROR, uintptr_t{0});
  } else {
    TraceLog("Master Server thread exitting");
  }
  return 0;
}

bool MasterServer::OpenListeningSocket() {
  std::lock_guard lock(socketMutex_);
  if (!listening_.Open()) {
    TraceLog("Socket creation failed.");
    return false;
  }
  // After a rebuild the port stays the one callers know, even when it was
  // picked freely at the start.
  const uint16_t port = boundPort_.load() != 0 ? boundPort_.load() : engine_.Config().listeningPort;
  if (!listening_.Bind(SockAddr::Any(port))) {
    listening_.Close();
    return false;
  }
  if (auto name = listening_.LocalName()) boundPort_.store(name->port);
  return true;
}

void MasterServer::RebuildListeningSocket() {
  {
    std::lock_guard lock(socketMutex_);
    listening_.Close();
  }
  OpenListeningSocket();
  SleepMs(50);
}

bool MasterServer::DispatchLoop() {
  std::vector<uint8_t> buffer(kReceiveBuffer);
  std::vector<bool> ready;
  const uint32_t waitMs = engine_.Config().dispatchWaitMs;
  lastReapTick_ = GetTickCount();
  for (;;) {
    if (engine_.IsStopping()) {
      TraceLog("Stop Issued detected when starting to wait for incoming data");
      return true;
    }
    if (!listening_.IsValid()) {
      RebuildListeningSocket();  // an earlier rebuild failed; keep trying
      continue;
    }
    const int fds[] = {listening_.Fd(), engine_.StopEvent().Fd()};
    const int readable = WaitReadable(fds, waitMs, ready);
    UdpSocket::Received got;
    if (readable > 0 && ready[0]) {
      std::fill(buffer.begin(), buffer.end(), 0);
      std::lock_guard lock(socketMutex_);
      got = listening_.ReceiveFrom(buffer, 0);
    } else if (readable >= 0) {
      got.status = UdpSocket::Status::kTimeout;
    } else {
      got.error = errno;
    }
    if (got.status == UdpSocket::Status::kTimeout) {
      if (!engine_.IsStopping()) {
        Reap(false);
        lastReapTick_ = GetTickCount();
      }
      continue;
    }
    if (engine_.IsStopping()) {
      TraceLog("Stop Issued detected in Master Server Dispatch loop.");
      return true;
    }
    if (got.status == UdpSocket::Status::kError) {
      // An unreachable caller (ICMP) is reported on the next receive; not
      // worth a trace.
      if (got.error != ECONNREFUSED) {
        TraceLog("Recv Failed on socket %x , Error = %d", static_cast<unsigned>(listening_.Fd()),
                 got.error);
      }
      RebuildListeningSocket();
      continue;
    }
    // Traffic that never pauses must not keep ended callers from being reaped.
    if (GetTickCount() - lastReapTick_ >= waitMs) {
      Reap(false);
      lastReapTick_ = GetTickCount();
    }
    // A datagram larger than the buffer is malformed: dropped.
    if (got.status == UdpSocket::Status::kTooLarge) continue;
    HandleDatagram(std::span<const uint8_t>(buffer.data(), got.size), got.from);
  }
}

SourceFacts MasterServer::LookUp(const SockAddr& source) {
  SourceFacts facts;
  auto consider = [&](const Connection* c) {
    if (c->Kind() == CONN_INCOMING) {
      if (c->RemoteAddress() == source) {
        facts.sourceInUse = true;
        if (!facts.relayToConnection) facts.relayToConnection = c->LocalName();
      }
      if (c->LocalName() == source && !facts.relayToCaller)
        facts.relayToCaller = c->RemoteAddress();
    } else if (c->PeerAddress() == source) {
      facts.sourceInUse = true;
    }
  };
  CSemLock lock(lock_);                  // lock order: MasterServer lock,
  ReadGuard guard(engine_.PeerGuard());  // then the peer guard
  for (const Pending& p : pending_) {
    // An entry whose connection joined the peer list is done with: its
    // thread is ending.
    if (p.connection == nullptr) continue;
    ++facts.pendingRequests;
    if (p.connection->RemoteAddress().ip == source.ip) ++facts.pendingFromSource;
    consider(p.connection);
  }
  for (const Connection* c : engine_.PeersLocked()) consider(c);
  return facts;
}

void MasterServer::HandleDatagram(std::span<const uint8_t> received, const SockAddr& from) {
  const SourceFacts facts = LookUp(from);
  DispatchDecision decision =
      DecideDispatch(received, facts, kMaxPendingRequests, kMaxPendingPerSource);
  const std::string source = from.IpText();
  const uint32_t now = engine_.GetClock().TickMs();
  switch (decision.action) {
    case DispatchAction::kDrop:
    case DispatchAction::kRoundTrip:
      break;
    case DispatchAction::kRelayToCaller:
      if (decision.datagram->type == MSG_CONNECT_REQUEST) {
        TraceLog("Connect Request received from LOCALHOST. UNEXPECTED");
      }
      [[fallthrough]];
    case DispatchAction::kRelayToConnection:
      if (!SendFromListening(decision.datagram->bytes, decision.target)) RebuildListeningSocket();
      return;
    case DispatchAction::kAnswerWhoRu: {
      TraceLog("MSG_WHO_RU received from %s", source.c_str());
      const Message answer = BuildIAm(engine_.UserName(), engine_.ProtocolVersion());
      if (!budget_.Spend(from.ip, static_cast<uint32_t>(answer.Bytes().size()), now)) {
        TraceLog("Not answering %s: it asks too often", source.c_str());
        return;
      }
      SendFromListening(answer.Bytes(), from);
      return;
    }
    case DispatchAction::kSourceCapped:
      TraceLog("Ignoring: too many connection requests pending from %s", source.c_str());
      return;
    case DispatchAction::kDuplicateRequest:
      TraceLog("Connect Request received from %s", source.c_str());
      TraceLog("Ignoring: Connection from %s alredy being processed...", source.c_str());
      return;
    case DispatchAction::kTooManyRequests:
      TraceLog("Connect Request received from %s", source.c_str());
      // Threads of callers that gave up may be gone by now.
      Reap(false);
      if (LookUp(from).pendingRequests >= kMaxPendingRequests) {
        TraceLog("Ignoring: too many connection requests pending, dropping the one from %s",
                 source.c_str());
        return;
      }
      [[fallthrough]];
    case DispatchAction::kNewRequest:
      if (decision.action == DispatchAction::kNewRequest) {
        TraceLog("Connect Request received from %s", source.c_str());
      }
      // The first answer (ringing or a refusal, one header) is paid here,
      // before any work is done for the request.
      if (!budget_.Spend(from.ip, static_cast<uint32_t>(kHeaderSize), now)) {
        TraceLog("Ignoring: %s asks too often", source.c_str());
        return;
      }
      StartIncoming(decision.datagram->bytes, from);
      return;
    case DispatchAction::kAnswerPing:
      if (auto echo = BuildEcho(*decision.datagram)) SendFromListening(echo->Bytes(), from);
      return;
  }
  if (decision.action == DispatchAction::kRoundTrip) {
    // Only the echo of a ping we sent to that very address is a round trip.
    const std::optional<PingPayload> echo = ParsePing(*decision.datagram);
    const std::optional<uint32_t> sent = echo ? TakeOwnPing(from, echo->cookie) : std::nullopt;
    if (sent) {
      engine_.Sink().PostEvent(EV_ROUND_TRIP,
                               new RoundTripRecord{this, echo->cookie, RoundTrip(now, *sent), 0});
    }
  }
}

void MasterServer::StartIncoming(std::span<const uint8_t> received, const SockAddr& from) {
  const std::string source = from.IpText();
  TraceLog("Proceeding to process with connection request from %s on a new thread", source.c_str());
  TraceLog("New Connect Request received");
  auto* context = new IncomingContext;
  context->server = this;
  // The request padded with zeros to a whole receive buffer, so that short
  // requests read as empty fields.
  context->request.assign(std::max(received.size(), size_t{kHeaderSize + kCallIdentityLength}), 0);
  std::copy(received.begin(), received.end(), context->request.begin());
  context->connection = new Connection(engine_, CONN_INCOMING, from);
  Pending entry;
  entry.connection = context->connection;
  entry.thread = std::make_unique<NamedThread>(&MasterServer::IncomingThreadEntry, context,
                                               "Incoming connection thread", false);
  CSemLock lock(lock_);
  if (!entry.thread->Start(false)) {
    delete context->connection;
    delete context;
    return;
  }
  pending_.push_back(std::move(entry));
}

bool MasterServer::SendFromListening(std::span<const uint8_t> bytes, const SockAddr& to) {
  std::lock_guard lock(socketMutex_);
  if (!listening_.IsValid()) return false;
  return listening_.SendTo(bytes, to);
}

bool MasterServer::SendPing(uint32_t tick, uint32_t cookie, const SockAddr& to) {
  {
    std::lock_guard lock(pingMutex_);
    if (ownPings_.size() >= kOwnPings) ownPings_.pop_front();
    ownPings_.push_back({to, cookie, tick});
  }
  const Message ping = BuildPing(tick, cookie);
  return SendFromListening(ping.Bytes(), to);
}

std::optional<uint32_t> MasterServer::TakeOwnPing(const SockAddr& from, uint32_t cookie) {
  std::lock_guard lock(pingMutex_);
  for (auto it = ownPings_.begin(); it != ownPings_.end(); ++it) {
    if (it->to == from && it->cookie == cookie) {
      const uint32_t tick = it->tick;
      ownPings_.erase(it);
      return tick;
    }
  }
  return std::nullopt;
}

bool MasterServer::SendHangupFor(const Connection& connection) {
  const Message hangup = BuildControl(MSG_HANGUP);
  return SendFromListening(hangup.Bytes(), connection.RemoteAddress());
}

void MasterServer::Reap(bool waitForAll) {
  for (;;) {
    std::list<Pending> ended;
    bool empty = false;
    {
      CSemLock lock(lock_);
      for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->thread->Wait(0) == -1) {
          ended.splice(ended.end(), pending_, it++);
        } else {
          ++it;
        }
      }
      empty = pending_.empty();
    }
    // Ended threads are joined and their connections deleted outside the lock.
    for (Pending& p : ended) {
      p.thread.reset();
      delete p.connection;
    }
    if (!waitForAll || empty) return;
    SleepMs(10);
  }
}

size_t MasterServer::PendingCount() {
  CSemLock lock(lock_);
  return pending_.size();
}

}  // namespace dialvo
