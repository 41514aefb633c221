// The engine's voice threads: record-send (keep-alives now, captured voice
// with the voice path), receive-play (every peer socket) and play.
#include <algorithm>
#include <cerrno>
#include <optional>

#include "base/Swmrg.h"
#include "base/ThreadMessages.h"
#include "base/Trace.h"
#include "engine/Connection.h"
#include "engine/EventSink.h"
#include "engine/NetCore.h"
#include "engine/PeerPacket.h"

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
}  // namespace

uint32_t NetCore::RecordSendThread() {
  PeekMessage();
  // Voice path: open the capture device for this thread; EV_CAPTURE_OPEN_FAILED
  // when it cannot be opened (the thread goes on without sound).
  TraceLog("Starting r-s thread");
  // Voice path: the encoder, the current and previous blocks, the voice
  // datagram's header and the silence count are prepared here.
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
        OnCaptureBuffer();
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
  // Voice path: close the capture device and delete the encoder.
  return 0;
}

void NetCore::OnCaptureBuffer() {
  // Voice path: voice detection, encoding and SendSequenced on the local
  // connection (read under the peer guard; nothing once it is cleared).
}

void NetCore::OnStopCapture() {
  // Voice path: stop the capture device so that it hands its buffers back.
}

void NetCore::OnPlayoutDone() {
  // Voice path: BufferDone on the device, one mixer run, then the next block
  // of the play queue (or silence) to the device.
}

void NetCore::SendKeepAliveToPeers() {
  const Message ping = BuildPing(clock_->TickMs(), 0);
  ReadGuard guard(peerGuard_);
  for (Connection* c : peers_) {
    if (c->IsConnected()) Send(*c, ping);
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
          dead.push_back({peer, peer->Serial(), peer == local_});
          break;
        }
        // Oversized and empty datagrams are malformed: dropped.
        if (got.status == UdpSocket::Status::kTooLarge || got.size == 0) continue;
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
        peer->SetLastReceiveTime(clock_->TickMs());
        const VoiceCheck check = CheckVoice(*dg, Validation(), peer->LastReceivedSequence());
        if (check.gap != 0) {
          sink_->PostEvent(EV_PACKET_GAP, new PacketGapRecord{peer, check.gap});
        }
        if (check.pass) {
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
  peer->SetLastReceiveTime(now);
  const bool fromPeer = from.ip == peer->PeerAddress().ip;
  switch (DecidePeerControl(dg.type, peer->IsRemote(), peer->IsConnected(), fromPeer)) {
    case PeerControl::kHangUp:
      TraceLog("Hangup request received");
      return false;
    case PeerControl::kAnswerPing:
      TraceLog("R U There received");
      if (auto echo = BuildEcho(dg)) Send(*peer, *echo);
      return true;
    case PeerControl::kRoundTrip:
      if (auto ping = ParsePing(dg)) {
        sink_->PostEvent(EV_ROUND_TRIP,
                         new RoundTripRecord{peer, ping->cookie, RoundTrip(now, ping->tick),
                                             peer->QueuedBlocks()});
      }
      return true;
    case PeerControl::kKeep:
      return true;
  }
  return true;
}

uint32_t NetCore::PlayThread() {
  // Voice path: pause 500 ms, stop any ring tone, open the playback device
  // for this thread (EV_PLAYOUT_OPEN_FAILED when it cannot be opened).
  TraceLog("Starting play callback thread");
  PeekMessage();
  playThread_.ReleaseStartSemaphore();
  // Voice path: two silent blocks go to the device first (EV_PLAYOUT_BUFFER).
  for (;;) {
    const ThreadMessage msg = GetMessage();
    if (msg.message == kMsgStopThread) break;
    if (msg.message == kMsgWaveOutDone) OnPlayoutDone();
  }
  // Voice path: stop and close the playback device.
  TraceLog("Exitting play callback thread");
  return 0;
}

}  // namespace dialvo
