#include "tests/engine/EngineHarness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "base/Wait.h"

namespace dialvo::test {

EngineConfig FastConfig(std::shared_ptr<SoundBackend> sound) {
  EngineConfig config;
  config.listeningPort = 0;
  config.localPort = 0;
  config.handshakeWaitMs = 1000;
  config.dispatchWaitMs = 200;
  config.busyPauseMs = 100;
  config.playoutStartDelayMs = 50;
  SoundBackendOptions null;
  null.kind = SoundBackendKind::kNull;
  config.sound = sound != nullptr ? std::move(sound) : CreateSoundBackend(null, nullptr);
  return config;
}

EngineConfig PatientConfig() {
  constexpr uint32_t kHour = 3600 * 1000;
  EngineConfig config = FastConfig();
  config.receiveWaitMs = kHour;
  config.dispatchWaitMs = kHour;
  config.handshakeWaitMs = kHour;
  config.decisionLimitMs = kHour;
  return config;
}

void RecordingSink::AddAudio(const void* pcm, uint32_t bytes, bool fromRemote) {
  RecordedBlock block;
  block.fromRemote = fromRemote;
  block.samples.resize(bytes / sizeof(int16_t));
  std::memcpy(block.samples.data(), pcm, block.samples.size() * sizeof(int16_t));
  std::lock_guard lock(mutex_);
  blocks_.push_back(std::move(block));
}

std::vector<RecordedBlock> RecordingSink::Blocks() const {
  std::lock_guard lock(mutex_);
  return blocks_;
}

TestEngine::TestEngine(const std::string& user, const EngineConfig& config)
    : engine_(std::make_unique<NetCore>(config, &sink_, user)), pump_([this] { Pump(); }) {}

TestEngine::~TestEngine() {
  SetAnswer(Answer::kReject);
  DecideHeld(IncomingRequest::kReject);
  if (engine_ != nullptr) engine_->Stop();
  engine_.reset();
  quit_.store(true);
  pump_.join();
}

void TestEngine::Pump() {
  while (!quit_.load()) {
    auto msg = window_.Next(20);
    if (!msg || msg->message != WM_ENGINE_EVENT) continue;
    const auto code = static_cast<uint32_t>(msg->wParam);
    const uintptr_t data = msg->lParam;
    SeenEvent seen;
    seen.code = code;
    std::unique_lock lock(mutex_);
    if (code == EV_INCOMING_CALL || code == EV_CONFERENCE_REQUEST) {
      std::shared_ptr<IncomingRequest> request =
          reinterpret_cast<IncomingRequestRecord*>(data)->request;
      FreeEventData(code, data);
      seen.name = request->CallerName();
      // Recorded before the answer, so that the test sees the request first.
      events_.push_back(seen);
      changed_.notify_all();
      if (answer_ == Answer::kHold) {
        held_.push_back(std::move(request));
      } else {
        request->Decide(answer_ == Answer::kAccept ? IncomingRequest::kAccept
                                                   : IncomingRequest::kReject);
      }
      continue;
    }
    if (code == EV_BYTES_SENT || code == EV_BYTES_RECEIVED) {
      const auto* rec = reinterpret_cast<ByteCountRecord*>(data);
      seen.connection = rec->connection;
      seen.value = rec->bytes;
    } else if (code == EV_PACKET_GAP) {
      seen.value = reinterpret_cast<PacketGapRecord*>(data)->difference;
    } else if (code == EV_ROUND_TRIP) {
      seen.owner = reinterpret_cast<RoundTripRecord*>(data)->owner;
      seen.value = reinterpret_cast<RoundTripRecord*>(data)->cookie;
      seen.queued = reinterpret_cast<RoundTripRecord*>(data)->queuedBuffers;
    } else if (code == EV_PEER_JOINED) {
      const auto* info = reinterpret_cast<PeerInfo*>(data);
      seen.name = info->userName;
      seen.connection = info->connection;
      seen.value = info->peerVersion;
    } else if (code == EV_PEER_LEFT || code == EV_HOST_NOT_FOUND) {
      seen.connection = reinterpret_cast<Connection*>(data);
    } else if (code == EV_ALREADY_CONNECTED) {
      seen.name = reinterpret_cast<CallRequest*>(data)->calleeName;
    }
    events_.push_back(seen);
    changed_.notify_all();
    lock.unlock();
    FreeEventData(code, data);
  }
}

void TestEngine::SetAnswer(Answer answer) {
  std::lock_guard lock(mutex_);
  answer_ = answer;
}

void TestEngine::DecideHeld(uint32_t decision) {
  std::lock_guard lock(mutex_);
  for (const auto& request : held_) request->Decide(decision);
  held_.clear();
}

std::vector<std::shared_ptr<IncomingRequest>> TestEngine::Held() {
  std::lock_guard lock(mutex_);
  return held_;
}

Connection* TestEngine::Call(uint16_t port, const std::string& callee, bool confirm) {
  CallRequest request;
  request.host = "127.0.0.1";
  request.port = port;
  request.calleeName = callee;
  request.confirmUser = confirm ? 1 : 0;
  return engine_->Connect(request);
}

bool TestEngine::WaitFor(uint32_t code, size_t count, int timeoutMs) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    size_t n = 0;
    for (const SeenEvent& e : events_) n += e.code == code ? 1 : 0;
    return n >= count;
  });
}

size_t TestEngine::PeerCount() {
  std::vector<PeerEntry> peers;
  engine_->GetPeers(peers);
  return peers.size();
}

size_t TestEngine::Count(uint32_t code) { return Seen(code).size(); }

std::vector<SeenEvent> TestEngine::Seen(uint32_t code) {
  std::lock_guard lock(mutex_);
  std::vector<SeenEvent> out;
  for (const SeenEvent& e : events_) {
    if (e.code == code) out.push_back(e);
  }
  return out;
}

std::vector<uint32_t> TestEngine::Codes() {
  std::lock_guard lock(mutex_);
  std::vector<uint32_t> out;
  for (const SeenEvent& e : events_) {
    if (e.code != EV_BYTES_SENT && e.code != EV_BYTES_RECEIVED && e.code != EV_CAPTURE_BUFFER &&
        e.code != EV_PLAYOUT_BUFFER) {
      out.push_back(e.code);
    }
  }
  return out;
}

RawPeer::RawPeer(int host) {
  socket_.Open();
  socket_.Bind({0x7F000000u | static_cast<uint32_t>(host), 0});
  address_ = socket_.LocalName().value_or(SockAddr{});
}

bool RawPeer::Send(const wire::Message& msg, const SockAddr& to) {
  return SendBytes(msg.Bytes(), to);
}

bool RawPeer::SendBytes(std::span<const uint8_t> bytes, const SockAddr& to) {
  return socket_.SendTo(bytes, to);
}

std::optional<RawPeer::Datagram> RawPeer::Receive(int timeoutMs) {
  std::vector<uint8_t> buffer(wire::kSetupReceiveBuffer);
  const auto got = socket_.ReceiveFrom(buffer, static_cast<uint32_t>(timeoutMs));
  if (got.status != UdpSocket::Status::kOk) return std::nullopt;
  Datagram dg;
  dg.bytes.assign(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(got.size));
  dg.from = got.from;
  dg.atMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now().time_since_epoch())
                .count();
  return dg;
}

std::optional<RawPeer::Datagram> RawPeer::ReceiveType(uint8_t type, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    auto dg = left > 0 ? Receive(static_cast<int>(left)) : std::nullopt;
    if (!dg || dg->Type() == type) return dg;
  }
}

bool RawPeer::Quiet(int timeoutMs) { return !Receive(timeoutMs).has_value(); }

wire::Message Request(const std::string& user, const std::string& session,
                      const std::string& expectedCallee, uint32_t version) {
  wire::CallIdentity id;
  id.userName = user;
  id.protocolVersion = version;
  id.sessionId = session;
  id.expectedCallee = expectedCallee;
  return wire::BuildCallIdentity(wire::MSG_CONNECT_REQUEST, id);
}

wire::Message Voice(uint32_t sequence) {
  wire::Message voice(wire::kMixerVoiceBuffer);
  voice.SetType(wire::MSG_VOICE);
  voice.SetSampleCount(wire::kBlockSamples);
  voice.SetPayloadLength(wire::kVoiceBytes);
  wire::AppendSequenceTrailer(voice, sequence);
  return voice;
}

AudioBlock Hush(int tag) {
  AudioBlock block{};
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<int16_t>((i * tag) % 900 - 450);
  return block;
}

bool EchoPing(RawPeer& peer, const SockAddr& to, int timeoutMs) {
  auto ping = peer.ReceiveType(wire::MSG_R_U_THERE, timeoutMs);
  if (!ping) return false;
  auto echo = wire::BuildEcho(*wire::ParseDatagram(ping->bytes));
  return echo && peer.Send(*echo, to);
}

Connection* Join(RawPeer& caller, TestEngine& engine, size_t joinedBefore) {
  // While a call runs, only its session lets a caller in.
  const bool active = engine.Engine().IsActive();
  caller.Send(Request("raw", active ? engine.Engine().GetSessionId() : ""), engine.Address());
  EXPECT_TRUE(caller.ReceiveType(wire::MSG_ACCEPT).has_value());
  // Before it sends voice the engine checks the caller receives there.
  EXPECT_TRUE(EchoPing(caller, engine.Address()));
  EXPECT_TRUE(engine.WaitFor(EV_PEER_JOINED, joinedBefore + 1));
  return engine.Seen(EV_PEER_JOINED).at(joinedBefore).connection;
}

std::shared_ptr<SoundBackend> FileSound(const std::string& playFile, const std::string& recFile,
                                        bool loop) {
  SoundBackendOptions options;
  options.kind = SoundBackendKind::kFile;
  options.playFile = playFile;
  options.recFile = recFile;
  options.loop = loop;
  std::string error;
  auto backend = CreateSoundBackend(options, &error);
  EXPECT_NE(backend, nullptr) << error;
  return backend;
}

namespace {

// Refusals are not worth waiting for.
class InstantClock final : public Clock {
 public:
  uint32_t TickMs() override { return GetTickCount(); }
  void Sleep(uint32_t) override {}
};

class Split final : public SoundBackend {
 public:
  Split(std::shared_ptr<SoundBackend> capture, std::shared_ptr<SoundBackend> playback)
      : capture_(std::move(capture)), playback_(std::move(playback)) {}
  const char* Name() const override { return "split"; }
  bool Supports(const WaveFormat&) const override { return true; }
  OpenedStream<CaptureStream> OpenCapture(const WaveFormat& format, uint32_t bytes) override {
    if (!capture_) return OpenedStream<CaptureStream>::Failed(kMmAllocated, "no capture here");
    return capture_->OpenCapture(format, bytes);
  }
  OpenedStream<PlaybackStream> OpenPlayback(const WaveFormat& format, uint32_t bytes) override {
    if (!playback_) return OpenedStream<PlaybackStream>::Failed(kMmAllocated, "no playback here");
    return playback_->OpenPlayback(format, bytes);
  }
  OpenedStream<PlaybackStream> OpenSoundOutput(const WaveFormat&, uint32_t) override {
    return OpenedStream<PlaybackStream>::Failed(kMmAllocated, "no sounds here");
  }
  Clock& DeviceClock() override { return clock_; }

 private:
  std::shared_ptr<SoundBackend> capture_;
  std::shared_ptr<SoundBackend> playback_;
  InstantClock clock_;
};

}  // namespace

std::shared_ptr<SoundBackend> SplitBackend(std::shared_ptr<SoundBackend> capture,
                                           std::shared_ptr<SoundBackend> playback) {
  return std::make_shared<Split>(std::move(capture), std::move(playback));
}

}  // namespace dialvo::test
