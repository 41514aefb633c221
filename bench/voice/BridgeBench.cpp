// A conference bridge at work: an engine whose microphone always speaks,
// with raw peers on loopback that each send one voice block per 200 ms and
// take what the bridge mixes for them. Time runs `scale` times slower than
// the wall clock, so that the engine keeps up under valgrind.
//
// Usage: voice-bridge-bench PEERS BLOCKS [SCALE [record]]
// Under callgrind, statistics are zeroed after a warm-up and dumped after
// BLOCKS blocks; the engine's threads are what `run` collects. With
// "record" the call is recorded, and saved just before the dump, so that
// the encoding of every recorded block is counted (`run` collects the save
// as well).
#include <valgrind/callgrind.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/GsmCodec.h"
#include "audio/PacedStream.h"
#include "audio/Recorder.h"
#include "base/UdpSocket.h"
#include "engine/EngineEvents.h"
#include "engine/EventSink.h"
#include "engine/IncomingRequest.h"
#include "engine/NetCore.h"
#include "engine/Voice.h"

namespace dialvo {
namespace {

constexpr int kWarmupBlocks = 5;

// Milliseconds that run `scale` times slower than the wall clock.
class SlowClock final : public Clock {
 public:
  explicit SlowClock(uint32_t scale) : scale_(scale) {}
  uint32_t TickMs() override {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start_);
    return static_cast<uint32_t>(ms.count() / scale_);
  }
  void Sleep(uint32_t ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(uint64_t{ms} * scale_));
  }

 private:
  const uint32_t scale_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

AudioBlock Tone(double hz) {
  AudioBlock block{};
  for (size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<int16_t>(
        8000 * std::sin(2 * M_PI * hz * static_cast<double>(i) / kVoiceSampleRate));
  }
  return block;
}

// A microphone that never stops talking, paced by the clock; playback goes
// nowhere at the same pace.
class TalkingBackend final : public SoundBackend {
 public:
  explicit TalkingBackend(Clock& clock) : clock_(clock) {
    SoundBackendOptions null;
    null.kind = SoundBackendKind::kNull;
    null.clock = &clock;
    null_ = CreateSoundBackend(null, nullptr);
  }
  const char* Name() const override { return "talking"; }
  bool Supports(const WaveFormat& format) const override { return null_->Supports(format); }
  OpenedStream<CaptureStream> OpenCapture(const WaveFormat& format, uint32_t) override {
    const AudioBlock tone = Tone(440);
    return OpenedStream<CaptureStream>::Ok(
        std::make_unique<PacedCapture>(clock_, format, [tone](std::span<uint8_t> block) {
          std::memcpy(block.data(), tone.data(), std::min<size_t>(block.size(), kBlockBytes));
          return true;
        }));
  }
  OpenedStream<PlaybackStream> OpenPlayback(const WaveFormat& format, uint32_t bytes) override {
    return null_->OpenPlayback(format, bytes);
  }
  OpenedStream<PlaybackStream> OpenSoundOutput(const WaveFormat& format, uint32_t bytes) override {
    return null_->OpenSoundOutput(format, bytes);
  }
  Clock& DeviceClock() override { return clock_; }

 private:
  Clock& clock_;
  std::shared_ptr<SoundBackend> null_;
};

struct Peer {
  UdpSocket socket;
  wire::Message voice{wire::kMixerVoiceBuffer};  // without its trailer
  uint32_t sequence = 1;
  uint32_t heard = 0;
};

// Hands the application's part: accepts every caller, frees every record.
void Pump(EventQueueWindow& window, uint32_t waitMs) {
  for (auto msg = window.Next(waitMs); msg; msg = window.Next(0)) {
    if (msg->message != WM_ENGINE_EVENT) continue;
    const auto code = static_cast<uint32_t>(msg->wParam);
    if (code == EV_INCOMING_CALL || code == EV_CONFERENCE_REQUEST) {
      reinterpret_cast<IncomingRequestRecord*>(msg->lParam)
          ->request->Decide(IncomingRequest::kAccept);
    }
    FreeEventData(code, msg->lParam);
  }
}

void Drain(Peer& peer) {
  std::vector<uint8_t> buffer(wire::kReceiveBuffer);
  for (;;) {
    const UdpSocket::Received got = peer.socket.ReceiveFrom(buffer, 0);
    if (got.status != UdpSocket::Status::kOk) return;
    if (got.size > 4 && buffer[4] == wire::MSG_VOICE) ++peer.heard;
  }
}

int Run(int peers, int blocks, uint32_t scale, bool record) {
  SlowClock clock(scale);
  EventQueueWindow window;
  EventSink sink(&window);
  std::string recordings;
  if (record) {
    char dir[] = "/tmp/voice-bridge-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      std::perror("voice-bridge-bench: mkdtemp");
      return 1;
    }
    recordings = dir;
    sink.SetRecorder(std::make_shared<ConversationRecorder>(recordings));
  }
  EngineConfig config;
  config.listeningPort = 0;
  config.localPort = 0;
  config.sound = std::make_shared<TalkingBackend>(clock);
  NetCore engine(config, &sink, "bridge");
  engine.SetRecording(record);
  const SockAddr bridge = SockAddr::Loopback(engine.ListeningPort());

  std::vector<std::unique_ptr<Peer>> list;
  for (int i = 0; i < peers; ++i) {
    auto peer = std::make_unique<Peer>();
    peer->socket.Open();
    peer->socket.Bind(SockAddr::Loopback(0));
    wire::CallIdentity id;
    id.userName = "peer" + std::to_string(i + 1);
    // A running call lets in only who names its session.
    if (engine.IsActive()) id.sessionId = engine.GetSessionId();
    peer->socket.SendTo(wire::BuildCallIdentity(wire::MSG_CONNECT_REQUEST, id).Bytes(), bridge);
    std::vector<uint8_t> buffer(wire::kSetupReceiveBuffer);
    bool accepted = false;
    for (int tries = 0; tries < 100 && !accepted; ++tries) {
      Pump(window, 10);
      const UdpSocket::Received got = peer->socket.ReceiveFrom(buffer, 50);
      if (got.status != UdpSocket::Status::kOk) continue;
      // The bridge admits a caller once it has echoed its ping, as every
      // engine does at once.
      const auto dg = wire::ValidateDatagram(std::span<const uint8_t>(buffer.data(), got.size));
      if (dg && dg->type == wire::MSG_R_U_THERE) {
        if (auto echo = wire::BuildEcho(*dg)) peer->socket.SendTo(echo->Bytes(), bridge);
        accepted = true;
      }
    }
    // The next peer calls once this one is in: until then the bridge
    // answers its address no further.
    std::vector<PeerEntry> in;
    for (int tries = 0; accepted && tries < 100; ++tries) {
      engine.GetPeers(in);
      if (in.size() > static_cast<size_t>(i)) break;
      Pump(window, 10);
    }
    if (!accepted || in.size() <= static_cast<size_t>(i)) {
      std::fprintf(stderr, "voice-bridge-bench: peer %d was not accepted\n", i + 1);
      return 1;
    }
    std::unique_ptr<GsmCodec> encoder = CreateCodec();
    peer->voice.SetType(wire::MSG_VOICE);
    encoder->EncodePacket(Tone(300 + 100 * i), peer->voice);
    list.push_back(std::move(peer));
  }

  const uint32_t origin = clock.TickMs();
  for (int b = 0; b < kWarmupBlocks + blocks; ++b) {
    if (b == kWarmupBlocks) CALLGRIND_ZERO_STATS;
    const uint32_t due = origin + 200 * static_cast<uint32_t>(b + 1);
    for (int32_t left; (left = static_cast<int32_t>(due - clock.TickMs())) > 0;) {
      Pump(window, std::min<uint32_t>(static_cast<uint32_t>(left) * scale, 20));
      for (auto& peer : list) Drain(*peer);
    }
    for (auto& peer : list) {
      wire::Message voice = peer->voice;
      wire::AppendSequenceTrailer(voice, peer->sequence++);
      peer->socket.SendTo(voice.Bytes(), bridge);
    }
  }
  std::string recorded;
  if (record) {
    std::string error;
    std::filesystem::path saved;
    if (!sink.Recorder()->Save(std::filesystem::path(recordings) / "bench.dvrec", &error, &saved)) {
      std::fprintf(stderr, "voice-bridge-bench: %s\n", error.c_str());
    } else {
      recorded = " records=" + std::to_string(std::filesystem::file_size(saved) /
                                              ConversationRecorder::kRecordBytes);
    }
  }
  CALLGRIND_DUMP_STATS_AT("measured");

  uint32_t received = 0;
  uint32_t sent = 0;
  uint32_t dropped = 0;
  for (const PeerReport& r : engine.PeerReports()) {
    received += r.blocksReceived;
    sent += r.blocksSent;
    dropped += r.blocksDropped;
  }
  std::printf("peers=%d blocks=%d received=%u sent=%u dropped=%u%s\n", peers, blocks, received,
              sent, dropped, recorded.c_str());
  engine.Stop();
  Pump(window, 0);
  if (!recordings.empty()) std::filesystem::remove_all(recordings);
  return 0;
}

}  // namespace
}  // namespace dialvo

int main(int argc, char** argv) {
  const int peers = argc > 1 ? std::atoi(argv[1]) : 1;
  const int blocks = argc > 2 ? std::atoi(argv[2]) : 25;
  const int scale = argc > 3 ? std::atoi(argv[3]) : 1;
  const bool record = argc > 4 && std::strcmp(argv[4], "record") == 0;
  if (peers < 1 || peers > 6 || blocks < 1 || scale < 1 || (argc > 4 && !record)) {
    std::fprintf(stderr, "usage: voice-bridge-bench PEERS(1-6) BLOCKS [SCALE [record]]\n");
    return 2;
  }
  return dialvo::Run(peers, blocks, static_cast<uint32_t>(scale), record);
}
