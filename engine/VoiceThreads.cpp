// The engine's voice threads: record-send (captured voice to the local
// connection, keep-alives to the peers), receive-play (every peer socket into
// the jitter queues) and play (the conference mixer, paced by the playback
// device).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "audio/GsmCodec.h"
#include "audio/PlaySound.h"
#include "base/Swmrg.h"
#include "base/ThreadId.h"
#include "base/ThreadMessages.h"
#include "base/Trace.h"
#include "engine/Connection.h"
#include "engine/EventSink.h"
#include "engine/NetCore.h"
#include "engine/PeerPacket.h"
#include "engine/VoiceSender.h"

namespace dialvo {

using namespace wire;

namespace {
// Sockets watched by one receive round.
constexpr size_t kMaxWatched = 64;
// Datagrams read from one peer in one round: a peer that floods its socket
// cannot hold the peer guard for ever.
constexpr int kMaxReadsPerPeer = 32;
// The record-send thread looks at the stop flag at least this often.
constexpr uint32_t kMessageWaitMs = 1000;
// The pause after a failed send of the held-back block.
constexpr uint32_t kSendFailurePauseMs = 500;
// Blocks of silence at the playback device before the first mix arrives.
constexpr int kInitialSilentBlocks = 2;
// One mixer run per block when no playback device paces the mixer.
constexpr uint32_t kBlockMs = 200;

std::span<const uint8_t> Bytes(const AudioBlock& block) {
  return {reinterpret_cast<const uint8_t*>(block.data()), kBlockBytes};
}
}  // namespace

uint32_t NetCore::RecordSendThread() {
  PeekMessage();
  if (capture_.Open(CurrentThreadId()) == 0) {
    TraceLog("Capture device could not be opened: %s", capture_.LastOpenError().c_str());
    sink_->PostEvent(EV_CAPTURE_OPEN_FAILED, uintptr_t{0});
  }
  TraceLog("Starting r-s thread");
  // The encoder, the current and held-back blocks, the voice datagram and
  // the silence count live here for the thread's life.
  VoiceSender sender(voiceLevel_, silenceLimit_);
  TraceLog("R-S thread started");
  recordSendThread_.ReleaseStartSemaphore();
  for (;;) {
    std::optional<ThreadMessage> msg;
    if (!stopping_.load()) {
      msg = GetMessage(kMessageWaitMs);
      if (!msg) continue;
    } else {
      // Stopping: finish what is queued, then leave.
      msg = CurrentMessageQueue().TryGet();
      if (!msg) break;
    }
    switch (msg->message) {
      case kMsgWaveInData:
        OnCaptureBuffer(sender);
        break;
      case kMsgKeepAlive:
        SendKeepAliveToPeers();
        break;
      case kMsgStopThread:
        OnStopCapture();
        break;
      default:
        break;
    }
  }
  TraceLog("Exitting record send thread");
  capture_.Close();
  return 0;
}

void NetCore::OnCaptureBuffer(VoiceSender& sender) {
  if (!capture_.IsCurrentDone()) {
    TraceLog("MM_WIM_DATA: But buffer not done.");
    return;
  }
  if (stopping_.load()) {
    capture_.ReleaseBuffer();
    return;
  }
  AudioBlock block{};
  const std::span<const uint8_t> captured = capture_.CurrentBuffer();
  std::memcpy(block.data(), captured.data(), std::min<size_t>(captured.size(), kBlockBytes));
  capture_.ReleaseBuffer();

  VoiceSender::Outcome out;
  int fd = -1;
  {
    // Stop clears the local connection under the guard before it deletes
    // it: once it is gone nothing more is sent.
    ReadGuard guard(peerGuard_);
    if (local_ == nullptr) return;
    fd = local_->SocketFd();
    out = sender.Handle(block, *local_);
  }
  if (out.held) return;
  if (out.heldFirst) TraceLog("Sending a previous novoice packet");
  if (out.heldError == EINTR) {
    TraceLog("Error Sending Data WSAINTR");
  } else if (out.heldError != 0) {
    TraceLog("Send Failed on socket %x , Error = %d", static_cast<unsigned>(fd), out.heldError);
    sink_->PostEvent(EV_CALL_ENDED, uintptr_t{0});
    SleepMs(kSendFailurePauseMs);
    return;
  }
  if (out.given && recording_.load()) sink_->AddAudio(block.data(), kBlockBytes, false);
  if (out.error == EINTR) {
    TraceLog("Error Sending Data - WSAINTR");
  } else if (out.error != 0) {
    TraceLog("Send Failed on socket %x , Error = %d", static_cast<unsigned>(fd), out.error);
    sink_->PostEvent(EV_CALL_ENDED, uintptr_t{0});
    return;
  }
  if (out.done) {
    CaptureEventBuffer().Write(Bytes(sender.Current()));
    sink_->PostEvent(EV_CAPTURE_BUFFER, &CaptureEventBuffer());
  }
}

void NetCore::OnStopCapture() {
  // The device hands its buffers back and delivers no more.
  capture_.Stop();
}

void NetCore::SendKeepAliveToPeers() {
  const uint32_t tick = clock_->TickMs();
  ReadGuard guard(peerGuard_);
  for (Connection* c : peers_) {
    // Each peer gets a cookie of its own: only its echo keeps it alive.
    if (c->IsConnected()) Send(*c, BuildPing(tick, c->NewPingCookie(tick)));
  }
}

uint32_t NetCore::ReceivePlayThread() {
  PeekMessage();
  playThread_.Start(true);
  TraceLog("Started Recv-Play thread");
  receivePlayThread_.ReleaseStartSemaphore();
  // Its priority stays normal: raising it needs privileges on Linux.
  while (!stopping_.load()) {
    const int result = ReceiveRound(config_.receiveWaitMs);
    if (config_.afterReceiveRound) config_.afterReceiveRound(result);
    SleepMs(5);
    if (result < 0) {
      const int error = errno;
      TraceLog("Error receiving data");
      if (!stopping_.load()) {
        sink_->PostEvent(EV_CALL_ENDED, uintptr_t{0});
        TraceLog("Closing connection RecvFails from RecvPlay-ErrorCode = %d..", error);
        SleepMs(100);
      }
      break;
    }
  }
  while (playThread_.IsRunning() &&
         !PostThreadMessage(playThread_.ThreadId(), kMsgStopThread, 0, 0)) {
    SleepMs(100);
  }
  playThread_.Wait(kInfinite);
  TraceLog("Exitting recv play thread");
  return 0;
}

int NetCore::ReceiveRound(uint32_t waitMs) {
  struct DeadPeer {
    Connection* connection;
    uint64_t serial;
    bool local;
  };
  std::vector<DeadPeer> dead;
  std::vector<uint8_t>& buffer = receiveBuffer_;
  int decoded = 0;
  {
    ReadGuard guard(peerGuard_);
    const size_t n = std::min(peers_.size(), kMaxWatched);
    std::vector<int> fds;
    fds.reserve(n + 2);
    for (size_t i = 0; i < n; ++i) fds.push_back(peers_[i]->SocketFd());
    fds.push_back(peerNudge_.Fd());
    fds.push_back(stopEvent_.Fd());
    std::vector<bool> ready;
    if (WaitReadable(fds, waitMs, ready) < 0) return -1;
    // A writer of the peer list is waiting: let it in.
    if (ready[n]) peerNudge_.Clear();
    if (std::none_of(ready.begin(), ready.begin() + static_cast<ptrdiff_t>(n),
                     [](bool r) { return r; })) {
      return 0;
    }
    rotation_ = (rotation_ + 1) % n;
    for (size_t k = 0; k < n; ++k) {
      const size_t i = (rotation_ + k) % n;
      if (!ready[i]) continue;
      Connection* peer = peers_[i];
      for (int reads = 0; reads < kMaxReadsPerPeer; ++reads) {
        const UdpSocket::Received got = peer->ReceiveWaiting(buffer);
        if (got.status == UdpSocket::Status::kTimeout) break;
        if (got.status == UdpSocket::Status::kError) {
          // An ICMP error (refused, unreachable) is reported on the next
          // receive and anybody can forge one: a peer dies by silence or by
          // its hang-up, never by a receive error.
          TraceLog("Receive error %d on a peer socket ignored", got.error);
          break;
        }
        // Oversized and empty datagrams are malformed: dropped.
        if (got.status == UdpSocket::Status::kTooLarge || got.size == 0) continue;
        // Only the peer speaks for itself; anything else counts for nothing.
        if (!peer->IsFrom(got.from)) continue;
        const std::span<const uint8_t> bytes(buffer.data(), got.size);
        const std::optional<DatagramView> dg =
            Validation() ? ValidateDatagram(bytes) : ParseDatagram(bytes);
        if (peer->IsRemote()) {
          const auto size = static_cast<uint32_t>(dg ? dg->bytes.size() : got.size);
          sink_->PostEvent(EV_BYTES_RECEIVED, new ByteCountRecord{peer, size});
        }
        if (!dg) continue;
        if (dg->type != MSG_VOICE) {
          if (!HandleControl(peer, *dg, got.from)) {
            dead.push_back({peer, peer->Serial(), peer == local_});
            break;
          }
          continue;
        }
        const VoiceCheck check = CheckVoice(*dg, Validation(), peer->ReceivedSequence());
        if (check.gap != 0) {
          peer->Counters().blocksLost.fetch_add(check.gap - 1);
          sink_->PostEvent(EV_PACKET_GAP, new PacketGapRecord{peer, check.gap});
        }
        if (check.pass) {
          peer->SetLastReceiveTime(clock_->TickMs());
          peer->AcceptVoice(*dg);
          ++decoded;
          break;  // one voice block per peer and round
        }
        TraceLog("Duplicate voice packet was detected and ignored");
      }
    }
  }
  for (const DeadPeer& d : dead) {
    if (d.local) {
      sink_->PostEvent(EV_CALL_ENDED, uintptr_t{0});
    } else {
      RemoveFromList(d.connection, &d.serial);
    }
  }
  return decoded;
}

bool NetCore::HandleControl(Connection* peer, const DatagramView& dg, const SockAddr& from) {
  const uint32_t now = clock_->TickMs();
  switch (DecidePeerControl(dg.type, peer->IsRemote(), peer->IsConnected(), peer->IsFrom(from))) {
    case PeerControl::kHangUp:
      TraceLog("Hangup request received");
      return false;
    case PeerControl::kAnswerPing:
      TraceLog("R U There received");
      if (auto echo = BuildEcho(dg)) Send(*peer, *echo);
      return true;
    case PeerControl::kRoundTrip: {
      // Only an echo of one of our own outstanding pings counts, timed from
      // when we sent it: it proves the peer is alive and receives us.
      const std::optional<PingPayload> echo = ParsePing(dg);
      const std::optional<uint32_t> sent = echo ? peer->TakeEcho(echo->cookie) : std::nullopt;
      if (!sent) return true;
      peer->SetLastReceiveTime(now);
      const uint32_t rtt = RoundTrip(now, *sent);
      peer->Counters().lastRoundTripMs.store(rtt);
      peer->Counters().roundTripKnown.store(true);
      sink_->PostEvent(EV_ROUND_TRIP,
                       new RoundTripRecord{peer, echo->cookie, rtt, peer->QueuedBlocks()});
      return true;
    }
    case PeerControl::kKeep:
      return true;
  }
  return true;
}

uint32_t NetCore::PlayThread() {
  AudioBlock silence{};
  SleepMs(config_.playoutStartDelayMs);
  // A ring tone may still hold the device.
  PlaySound(nullptr, 0);
  // The queue first: the device posts to it as soon as it plays.
  PeekMessage();
  const bool device = playback_.Open(CurrentThreadId()) != 0;
  if (!device) {
    TraceLog("Playback device could not be opened: %s", playback_.LastOpenError().c_str());
    sink_->PostEvent(EV_PLAYOUT_OPEN_FAILED, uintptr_t{0});
  }
  TraceLog("Starting play callback thread");
  playThread_.ReleaseStartSemaphore();
  // Its priority stays normal: raising it needs privileges on Linux.
  if (device) {
    TraceLog("Adding 2 no voice play packet initially......");
    for (int i = 0; i < kInitialSilentBlocks; ++i) playback_.Write(Bytes(silence));
    PlayoutEventBuffer().Write(Bytes(silence));
    sink_->PostEvent(EV_PLAYOUT_BUFFER, &PlayoutEventBuffer());
    for (;;) {
      const ThreadMessage msg = GetMessage();
      if (msg.message == kMsgStopThread) break;
      if (msg.message == kMsgWaveOutDone) OnPlayoutDone();
    }
  } else {
    PlayThreadWithoutDevice();
  }
  playback_.Stop();
  playback_.Close();
  TraceLog("Exitting play callback thread");
  return 0;
}

void NetCore::OnPlayoutDone() {
  playback_.BufferDone();
  RunMixer();
  if (TakePlayBlock()) {
    playback_.Write(Bytes(playBlock_));
    ReportPlayed(playBlock_, true);
  } else {
    playBlock_.fill(0);
    playback_.Write(Bytes(playBlock_));
  }
}

void NetCore::PlayThreadWithoutDevice() {
  uint32_t due = GetTickCount() + kBlockMs;
  for (;;) {
    const auto left = static_cast<int32_t>(due - GetTickCount());
    if (left > 0) {
      const std::optional<ThreadMessage> msg = GetMessage(static_cast<uint32_t>(left));
      if (msg && msg->message == kMsgStopThread) return;
      continue;
    }
    due += kBlockMs;
    // Behind by more than a block (a stalled machine): start afresh.
    if (static_cast<int32_t>(GetTickCount() - due) > static_cast<int32_t>(kBlockMs)) {
      due = GetTickCount() + kBlockMs;
    }
    RunMixer();
    if (TakePlayBlock()) ReportPlayed(playBlock_, false);
  }
}

void NetCore::ReportPlayed(const AudioBlock& block, bool toDevice) {
  if (toDevice) {
    PlayoutEventBuffer().Write(Bytes(block));
    sink_->PostEvent(EV_PLAYOUT_BUFFER, &PlayoutEventBuffer());
  }
  // The recording keeps the conversation even when it cannot be heard.
  if (recording_.load()) sink_->AddAudio(block.data(), kBlockBytes, true);
}

bool NetCore::TakePlayBlock() {
  CSemLock lock(playQueueLock_);
  if (playQueue_.empty()) return false;
  playBlock_ = playQueue_.front();
  playQueue_.pop_front();
  return true;
}

size_t NetCore::RunMixer() {
  mixer_.Begin();
  ReadGuard guard(peerGuard_);
  // The peer list never holds more than the mixer's slots; should it, the
  // parties beyond them are left out rather than mixed out of bounds.
  const size_t n = std::min(peers_.size(), MixerWork::kSlots);
  for (size_t i = 0; i < n; ++i) {
    if (peers_[i]->Jitter().Take(mixer_.Slot(i))) mixer_.Add(i);
  }
  for (size_t j = 0; j < n && mixer_.Delivered() > 0; ++j) {
    if (!mixer_.HasMixFor(j)) continue;
    const std::span<const int16_t> mix = mixer_.MixFor(j);
    Connection* peer = peers_[j];
    if (peer->IsRemote()) {
      if (peer->Encoder() == nullptr) continue;
      mixerPacket_.Clear();
      mixerPacket_.SetType(MSG_VOICE);
      peer->Encoder()->EncodePacket(mix, mixerPacket_);
      if (SendSequenced(*peer, mixerPacket_)) peer->Counters().blocksSent.fetch_add(1);
    } else if (peer == local_) {
      CSemLock lock(playQueueLock_);
      playQueue_.emplace_back();
      std::copy(mix.begin(), mix.end(), playQueue_.back().begin());
    }
  }
  return mixer_.Delivered();
}

}  // namespace dialvo
