#include "engine/NetCore.h"

#include <cstring>

#include "base/ThreadMessages.h"
#include "base/Trace.h"
#include "engine/Connection.h"
#include "engine/EventSink.h"
#include "engine/MasterServer.h"
#include "engine/SessionId.h"

namespace dialvo {

NetCore::NetCore(const EngineConfig& config, EventSink* sink, std::string_view userName,
                 uint32_t protocolVersion)
    : config_(config),
      clock_(config.clock != nullptr ? config.clock : &SystemClock()),
      ownSink_(sink == nullptr ? std::make_unique<EventSink>(nullptr) : nullptr),
      sink_(sink != nullptr ? sink : ownSink_.get()),
      protocolVersion_(protocolVersion),
      capture_(wire::kBlockSamples, kVoiceSampleRate, kVoiceChannels, kVoiceBits, config.sound),
      playback_(wire::kBlockSamples, kVoiceSampleRate, kVoiceChannels, kVoiceBits, config.sound),
      recordSendThread_([this](void*) { return RecordSendThread(); }, nullptr,
                        "Record Send Thread for Netcore", false),
      receivePlayThread_([this](void*) { return ReceivePlayThread(); }, nullptr,
                         "Receive Play Thread for Netcore", false),
      playThread_([this](void*) { return PlayThread(); }, nullptr, "Play Thread for Netcore",
                  false) {
  peerGuard_.Initialize();
  SetUserName(userName);
  sink_->SetEngine(this);
  local_ = new Connection(*this, CONN_LOCAL);
  peers_.push_back(local_);
  master_ = std::make_unique<MasterServer>(*this);
  StartServer();
}

NetCore::~NetCore() {
  TraceLog("destructing NetCore()");
  if (!stopped_) Stop();
  timer_.Stop();
  master_.reset();
  {
    PeerWriteLock guard(*this);
    for (Connection* c : peers_) delete c;
    peers_.clear();
    local_ = nullptr;
  }
  {
    CSemLock lock(playQueueLock_);
    playQueue_.clear();
  }
  if (sink_->Engine() == this) sink_->SetEngine(nullptr);
}

bool NetCore::StartServer() {
  if (serverRunning_.load() || master_ == nullptr) {
    TraceLog("Server already running");
    return false;
  }
  TraceLog("Starting Server....");
  MasterServer* server = master_.get();
  serverThread_ =
      std::make_unique<NamedThread>([server](void*) { return server->RunServerThread(); }, nullptr,
                                    "Server Thread for Netcore", false);
  serverThread_->Start(true);
  serverRunning_.store(true);
  return true;
}

uint16_t NetCore::ListeningPort() const {
  return master_ != nullptr ? master_->BoundPort() : uint16_t{0};
}

SockAddr NetCore::LocalVoiceAddress() {
  ReadGuard guard(peerGuard_);
  return local_ != nullptr ? local_->PeerAddress() : SockAddr{};
}

std::vector<PeerReport> NetCore::PeerReports() {
  ReadGuard guard(peerGuard_);
  std::vector<PeerReport> reports;
  for (const Admitted& a : history_) {
    const PeerCounters& c = *a.counters;
    PeerReport r;
    r.userName = a.userName;
    r.address = a.address;
    r.blocksSent = c.blocksSent.load();
    r.blocksReceived = c.blocksReceived.load();
    r.blocksLost = c.blocksLost.load();
    r.blocksDropped = c.blocksDropped.load();
    if (c.roundTripKnown.load()) r.lastRoundTripMs = c.lastRoundTripMs.load();
    reports.push_back(std::move(r));
  }
  return reports;
}

bool NetCore::SendPing(uint32_t cookie, const SockAddr& to) {
  if (master_ == nullptr) return false;
  return master_->SendPing(clock_->TickMs(), cookie, to);
}

bool NetCore::SendKeepAlive() {
  if (!active_.load() || !recordSendThread_.IsRunning()) return false;
  return PostThreadMessage(recordSendThread_.ThreadId(), kMsgKeepAlive, 0, 0);
}

std::string NetCore::GetSessionId() const {
  std::lock_guard lock(textMutex_);
  return sessionId_;
}

std::string NetCore::AdoptSession(const std::string& offered) {
  std::lock_guard lock(textMutex_);
  // An offered session that is no GUID text is never taken: the session
  // names files later.
  if (!active_.load()) sessionId_ = IsValidSessionId(offered) ? offered : NewSessionId();
  return sessionId_;
}

void NetCore::SetUserName(std::string_view name) {
  std::lock_guard lock(textMutex_);
  userName_.assign(name.substr(0, wire::kTextField - 1));
}

std::string NetCore::UserName() const {
  std::lock_guard lock(textMutex_);
  return userName_;
}

void NetCore::StartVoice() {
  voiceRunning_.store(true);
  active_.store(true);
  TraceLog("Starting Record-Send  thread");
  recordSendThread_.Start(true);
  TraceLog("Starting Recv- Play thread");
  receivePlayThread_.Start(true);
  timer_.Start(config_.timerPeriodMs, [this] { OnTimer(); });
}

void NetCore::OnTimer() {
  timerElapsedMs_ += config_.timerPeriodMs;
  if (stopping_.load() || !active_.load()) return;
  SendKeepAlive();
  if (timerElapsedMs_ - lastScanMs_ >= config_.livenessIntervalMs) {
    lastScanMs_ = timerElapsedMs_;
    ScanLiveness();
  }
}

bool NetCore::Stop() {
  TraceLog("Stop Issued");
  DisconnectAll();
  stopping_.store(true);
  stopEvent_.Set();
  timer_.Stop();
  CloseAllThreads();
  if (master_ != nullptr) {
    master_->Reap(true);
    master_.reset();
  }
  stopped_ = true;
  return true;
}

void NetCore::CloseAllThreads() {
  SleepMs(100);
  TraceLog("CloseAllThreads()");
  if (serverThread_ != nullptr) {
    serverThread_->Wait(kInfinite);
    serverThread_.reset();
  }
  if (recordSendThread_.IsRunning()) {
    SleepMs(100);
    PostThreadMessage(recordSendThread_.ThreadId(), kMsgStopThread, 0, 0);
    recordSendThread_.Wait(kInfinite);
  }
  if (receivePlayThread_.IsRunning()) receivePlayThread_.Wait(kInfinite);
}

}  // namespace dialvo
