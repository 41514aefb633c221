#pragma once
// The voice engine: listens from the moment it is built, sets calls up and
// tears them down, and runs the threads that carry voice between the sound
// card and the peers. One engine serves one call or conference; its owner
// stops and deletes it afterwards and builds a fresh one.
//
// Locks, in the order in which they may be held together:
//   1. MasterServer lock      (pending incoming requests)
//   2. peer guard (SWMRG)     (peer list, local connection pointer, slots)
//   3. leaf locks             (a connection's jitter lock, the play queue
//                              lock, a connection's or the listening
//                              socket's socket mutex, the engine's text
//                              mutex)
// A Connection's own lock (CSem) is held by call setup around its dialogue
// and only leaf locks and the peer guard are taken inside it.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/WaveIn.h"
#include "audio/WaveOut.h"
#include "base/CSem.h"
#include "base/NamedThread.h"
#include "base/PeriodicTimer.h"
#include "base/Swmrg.h"
#include "base/ThreadMessages.h"
#include "base/Tick.h"
#include "engine/EngineConfig.h"
#include "engine/INetCore.h"
#include "engine/Voice.h"
#include "engine/WakeEvent.h"
#include "engine/wire/Message.h"

namespace dialvo {

class Connection;
class EventSink;
class MasterServer;
struct PeerCounters;
class VoiceSender;

// One peer of the engine, present or gone, as a summary after the call.
struct PeerReport {
  std::string userName;
  SockAddr address;
  uint32_t blocksSent = 0;      // voice blocks sent to the peer
  uint32_t blocksReceived = 0;  // voice blocks received in sequence
  uint32_t blocksLost = 0;      // sequence numbers that never arrived
  uint32_t blocksDropped = 0;   // received blocks that found the jitter queue full
  std::optional<uint32_t> lastRoundTripMs;
};

// Thread messages of the engine's voice threads.
inline constexpr uint32_t kMsgWaveOutDone = 957;  // playback device finished a buffer
inline constexpr uint32_t kMsgWaveInData = 960;   // capture device filled a buffer
inline constexpr uint32_t kMsgStopThread = kUserMessageBase + 2;  // 1026
inline constexpr uint32_t kMsgKeepAlive = kUserMessageBase + 3;   // 1027

class NetCore final : public INetCore {
 public:
  // Builds the local connection and the listening server and starts
  // listening. sink posts the events (null: they are dropped); it must
  // outlive the engine.
  NetCore(const EngineConfig& config, EventSink* sink, std::string_view userName,
          uint32_t protocolVersion = wire::kProtocolVersion);
  // Stops the engine first if its owner did not.
  ~NetCore() override;
  NetCore(const NetCore&) = delete;
  NetCore& operator=(const NetCore&) = delete;

  Connection* Connect(const CallRequest& request) override;
  bool StartServer() override;
  bool Stop() override;
  bool IsActive() const override { return active_.load(); }
  bool SendPing(uint32_t cookie, const SockAddr& to) override;
  bool SendKeepAlive() override;
  std::string GetSessionId() const override;
  void SetRecording(bool on) override { recording_.store(on); }
  void SetUserName(std::string_view name) override;
  void SetValidation(bool on) override { validation_.store(on); }
  bool GetPeers(std::vector<PeerEntry>& peers) override;
  bool Disconnect(Connection* connection) override;

  // The port the engine listens on (the configured one, or the one taken
  // for port 0); 0 when the listening socket could not be bound.
  uint16_t ListeningPort() const;
  // Where the local connection's voice loops back to.
  SockAddr LocalVoiceAddress();
  // Every peer this engine admitted, in the order they joined.
  std::vector<PeerReport> PeerReports();

  // ---- For the engine's own parts: connections, listening server, threads.
  EventSink& Sink() { return *sink_; }
  Clock& GetClock() { return *clock_; }
  const EngineConfig& Config() const { return config_; }
  MasterServer* Server() { return master_.get(); }
  const WakeEvent& StopEvent() const { return stopEvent_; }
  bool IsStopping() const { return stopping_.load(); }
  bool Validation() const { return validation_.load(); }
  bool Recording() const { return recording_.load(); }
  std::string UserName() const;
  uint32_t ProtocolVersion() const { return protocolVersion_; }
  // While idle, takes the session of the first connection (the one offered,
  // or a new one when none or no valid one is offered); returns the
  // engine's session.
  std::string AdoptSession(const std::string& offered);

  // Peer table. The guard is taken for writing through PeerWriteLock, which
  // first nudges the receive loop out of its socket wait.
  SWMRG& PeerGuard() { return peerGuard_; }
  class PeerWriteLock {
   public:
    explicit PeerWriteLock(NetCore& engine);
    ~PeerWriteLock();
    PeerWriteLock(const PeerWriteLock&) = delete;
    PeerWriteLock& operator=(const PeerWriteLock&) = delete;

   private:
    NetCore& engine_;
  };
  // Caller holds the peer guard.
  const std::vector<Connection*>& PeersLocked() const { return peers_; }
  // A free place in the peer list, held for a call being set up. Reserve
  // and release take the guard for writing themselves.
  bool ReserveSlot();
  void ReleaseSlot();
  // Under the guard for reading: no place is left for another peer.
  bool PeerListFull();
  // Caller holds the guard for writing and a reserved slot, which this
  // consumes. Appends the connected peer, starts voice with the first one
  // (EV_CALL_STARTED) and posts EV_PEER_JOINED; false (slot kept) once the
  // engine is stopping.
  bool AdmitPeer(Connection* connection);
  // Hangs up and deletes one peer of the list (nothing if it is not there).
  void RemovePeer(Connection* connection);

 private:
  // serial, when given, must match the listed connection's.
  bool RemoveFromList(Connection* connection, const uint64_t* serial);
  void DisconnectAll();
  void CloseAllThreads();
  void StartVoice();
  void OnTimer();
  void ScanLiveness();
  Connection* FindConnectedPeer(const SockAddr& address, const std::string& name);
  bool Dial(Connection* connection, const CallRequest& request);
  // True on an accept; callee is its identity block when it carried one.
  bool Handshake(Connection* connection, const CallRequest& request,
                 std::optional<wire::CallIdentity>& callee);
  // Names the peer, fixes the session and admits the connection.
  bool AcceptCall(Connection* connection, const CallRequest& request,
                  const std::optional<wire::CallIdentity>& callee);
  bool GiveUp(const CallRequest& request) const;

  // Voice threads.
  uint32_t RecordSendThread();
  void SendKeepAliveToPeers();
  uint32_t ReceivePlayThread();
  int ReceiveRound(uint32_t waitMs);
  // Control datagram on a peer socket; false when the peer is to be removed.
  bool HandleControl(Connection* peer, const wire::DatagramView& dg, const SockAddr& from);
  uint32_t PlayThread();
  // A filled capture buffer, and the end of capture.
  void OnCaptureBuffer(VoiceSender& sender);
  void OnStopCapture();
  // The playback device finished a buffer: one mixer run, and the next block.
  void OnPlayoutDone();
  // Without a playback device the mixer still serves the remote peers, on
  // its own pace; what was mixed for the local user is only recorded.
  void PlayThreadWithoutDevice();
  // Conference mixer: one block from every peer's jitter queue, to every
  // remote peer the mix of all the others, to the play queue the mix of the
  // remote peers. Returns the number of peers that delivered.
  size_t RunMixer();
  // The oldest block of the play queue into playBlock_; false when empty.
  bool TakePlayBlock();
  // A block the local user hears: the playout event and the recording.
  void ReportPlayed(const AudioBlock& block, bool toDevice);

  const EngineConfig config_;
  Clock* const clock_;
  std::unique_ptr<EventSink> ownSink_;  // a discarding sink when none was given
  EventSink* const sink_;
  const uint32_t protocolVersion_;

  // Guards userName_ and sessionId_; taken by the application's threads and
  // every engine thread that builds a request, an answer or an event.
  // Innermost lock.
  mutable std::mutex textMutex_;
  std::string userName_;
  std::string sessionId_;

  std::atomic<bool> validation_{true};
  std::atomic<bool> recording_{false};
  const uint32_t voiceLevel_ = kDefaultVoiceLevel;
  const uint32_t silenceLimit_ = kDefaultSilenceLimit;
  std::atomic<bool> voiceRunning_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> serverRunning_{false};
  std::atomic<bool> active_{false};  // never cleared during the engine's life
  bool stopped_ = false;             // owner's thread only

  // Guards peers_, local_, reservedSlots_, closing_ and history_. Readers:
  // the receive loop, the mixer, the capture sender, the keep-alive sender,
  // GetPeers, PeerReports, Connect's duplicate check and the listening
  // server's lookups. Writers (through PeerWriteLock): joining, removal,
  // DisconnectAll and the liveness scan; the writer side is recursive (the
  // scan removes peers while it writes).
  SWMRG peerGuard_;
  std::vector<Connection*> peers_;  // owned; the local connection first
  Connection* local_ = nullptr;
  size_t reservedSlots_ = 0;
  bool closing_ = false;  // Stop has emptied the list; no peer may join
  struct Admitted {
    std::string userName;
    SockAddr address;
    std::shared_ptr<PeerCounters> counters;
  };
  std::vector<Admitted> history_;  // every peer admitted, in order

  // Wakes the receive loop out of its socket wait so that a writer of the
  // peer list does not wait for the wait to run out.
  WakeEvent peerNudge_;
  // Set once the engine stops; every socket wait of the engine watches it.
  WakeEvent stopEvent_;

  std::unique_ptr<MasterServer> master_;
  std::unique_ptr<NamedThread> serverThread_;

  PeriodicTimer timer_;
  uint32_t timerElapsedMs_ = 0;  // timer thread only
  uint32_t lastScanMs_ = 0;      // timer thread only
  uint32_t rotation_ = 0;        // receive-play thread only
  std::vector<uint8_t> receiveBuffer_ = std::vector<uint8_t>(wire::kReceiveBuffer);  // same

  // Sound devices: capture belongs to the record-send thread, playback to
  // the play thread.
  WaveIn capture_;
  WaveOut playback_;
  // The play thread's: the mixer's work area, the datagram it encodes into
  // and the block being played.
  MixerWork mixer_;
  wire::Message mixerPacket_{wire::kMixerVoiceBuffer};
  AudioBlock playBlock_{};
  // The play queue lock: guards playQueue_. Taken by the play thread (the
  // mixer appends inside the peer guard, the player takes) and by the
  // destructor.
  CSem playQueueLock_;
  std::deque<AudioBlock> playQueue_;  // mixed for the local user, to be played

  // Last: destroyed (and so joined) before everything they use.
  NamedThread recordSendThread_;
  NamedThread receivePlayThread_;
  NamedThread playThread_;
};

}  // namespace dialvo
