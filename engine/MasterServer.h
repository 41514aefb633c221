#pragma once
// The listening server: owns the listening socket, relays the traffic of the
// engine's callers through it, and runs one incoming-request thread per
// caller whose request is being processed.
#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "base/CSem.h"
#include "base/NamedThread.h"
#include "base/UdpSocket.h"
#include "engine/AnswerBudget.h"
#include "engine/Dispatch.h"

namespace dialvo {

class Connection;
class NetCore;

class MasterServer {
 public:
  explicit MasterServer(NetCore& engine);
  // Reaps every incoming-request thread (waiting for them) first.
  ~MasterServer();
  MasterServer(const MasterServer&) = delete;
  MasterServer& operator=(const MasterServer&) = delete;

  // Body of the server thread: binds the listening socket, reports readiness
  // to its starter, runs the dispatch loop until the engine stops, reaps.
  uint32_t RunServerThread();

  // The port the listening socket is bound to; 0 before or when binding failed.
  uint16_t BoundPort() const { return boundPort_.load(); }

  // Sends from the listening socket. The ping stays outstanding until its
  // echo comes back from that address (only the last few are kept).
  bool SendPing(uint32_t tick, uint32_t cookie, const SockAddr& to);
  bool SendHangupFor(const Connection& connection);

  // Deletes the entries whose threads have ended (and their connections
  // unless those joined the peer list). With waitForAll, repeats until no
  // entry is left, never holding the lock while it waits.
  void Reap(bool waitForAll);
  size_t PendingCount();

 private:
  struct Pending {
    Connection* connection = nullptr;  // none once handed to the peer list
    std::unique_ptr<NamedThread> thread;
  };
  struct IncomingContext {
    MasterServer* server = nullptr;
    Connection* connection = nullptr;
    std::vector<uint8_t> request;
  };

  bool OpenListeningSocket();
  void RebuildListeningSocket();
  bool DispatchLoop();
  void HandleDatagram(std::span<const uint8_t> received, const SockAddr& from);
  void StartIncoming(std::span<const uint8_t> received, const SockAddr& from);
  bool SendFromListening(std::span<const uint8_t> bytes, const SockAddr& to);
  // Under the lock and the peer guard for reading: the pending list first,
  // then the peer list.
  SourceFacts LookUp(const SockAddr& source);

  static uint32_t IncomingThreadEntry(void* parameter);
  void ProcessIncoming(Connection* connection, std::span<const uint8_t> request);
  // Sends the answer up to times times; charged answers stop once the
  // caller's address has spent its allowance. False when a send failed
  // (the socket is closed then).
  bool SendAnswer(Connection* connection, const wire::Message& answer, int times, bool charged);
  void AdmitAccepted(Connection* connection);
  // Pings an accepted caller, before it joins, until it echoes from the
  // address it called from; false when it never does (or hangs up, or the
  // engine stops). The bytes of the pings are added to sent.
  bool AwaitReturnRoute(Connection* connection, uint32_t& sent);
  // The ping to this address and with this cookie was ours: its send tick.
  std::optional<uint32_t> TakeOwnPing(const SockAddr& from, uint32_t cookie);

  NetCore& engine_;

  // Guards pending_. Taken by the server thread (lookups, new requests,
  // reaping), by incoming-request threads (handing a connection over) and
  // by Stop (reaping). Lock order: this lock before the engine's peer guard.
  CSem lock_;
  std::list<Pending> pending_;

  // Guards listening_ against a rebuild while another thread sends from it:
  // taken by the server thread around receives, sends and rebuilds, and by
  // any thread sending a hang-up or a ping. Never held while waiting for
  // data; innermost lock.
  std::mutex socketMutex_;
  UdpSocket listening_;
  std::atomic<uint16_t> boundPort_{0};
  uint32_t lastReapTick_ = 0;  // server thread only

  AnswerBudget budget_;

  // Guards ownPings_; taken by whoever pings an address and by the server
  // thread matching echoes. Innermost.
  std::mutex pingMutex_;
  struct OwnPing {
    SockAddr to;
    uint32_t cookie = 0;
    uint32_t tick = 0;
  };
  static constexpr size_t kOwnPings = 16;
  std::deque<OwnPing> ownPings_;
};

}  // namespace dialvo
