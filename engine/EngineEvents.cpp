#include "engine/EngineEvents.h"

#include <algorithm>
#include <cstring>

#include "engine/CallRequest.h"
#include "engine/IncomingRequest.h"

namespace dialvo {

PeerInfo* NewPeerInfo(const char* userName, Connection* connection, uint32_t peerVersion) {
  auto* info = new PeerInfo;
  const char* name = (userName != nullptr && *userName != '\0') ? userName : "UNKNOWN";
  std::strncpy(info->userName, name, sizeof info->userName - 1);
  info->connection = connection;
  info->peerVersion = peerVersion;
  return info;
}

void StaticAudioBuffer::Write(std::span<const uint8_t> block) {
  std::lock_guard lock(mutex_);
  const size_t n = std::min(block.size(), kBytes);
  std::memcpy(data_.data(), block.data(), n);
  std::memset(data_.data() + n, 0, kBytes - n);
}

std::array<uint8_t, StaticAudioBuffer::kBytes> StaticAudioBuffer::Read() const {
  std::lock_guard lock(mutex_);
  return data_;
}

StaticAudioBuffer& CaptureEventBuffer() {
  static StaticAudioBuffer* buffer = new StaticAudioBuffer;  // outlives every engine
  return *buffer;
}

StaticAudioBuffer& PlayoutEventBuffer() {
  static StaticAudioBuffer* buffer = new StaticAudioBuffer;
  return *buffer;
}

const char* EventName(uint32_t code) {
  switch (code) {
    case EV_BYTES_SENT:
      return "EV_BYTES_SENT";
    case EV_BYTES_RECEIVED:
      return "EV_BYTES_RECEIVED";
    case EV_CAPTURE_BUFFER:
      return "EV_CAPTURE_BUFFER";
    case EV_PLAYOUT_BUFFER:
      return "EV_PLAYOUT_BUFFER";
    case EV_CALL_STARTED:
      return "EV_CALL_STARTED";
    case EV_SERVER_BIND_ERROR:
      return "EV_SERVER_BIND_ERROR";
    case EV_INCOMING_CALL:
      return "EV_INCOMING_CALL";
    case EV_CALL_ENDED:
      return "EV_CALL_ENDED";
    case EV_CONFERENCE_REQUEST:
      return "EV_CONFERENCE_REQUEST";
    case EV_PACKET_GAP:
      return "EV_PACKET_GAP";
    case EV_CAPTURE_OPEN_FAILED:
      return "EV_CAPTURE_OPEN_FAILED";
    case EV_PLAYOUT_OPEN_FAILED:
      return "EV_PLAYOUT_OPEN_FAILED";
    case EV_PEER_JOINED:
      return "EV_PEER_JOINED";
    case EV_CONNECT_FAILED:
      return "EV_CONNECT_FAILED";
    case EV_RINGING:
      return "EV_RINGING";
    case EV_PEER_LEFT:
      return "EV_PEER_LEFT";
    case EV_ROUND_TRIP:
      return "EV_ROUND_TRIP";
    case EV_USER_NOT_AT_ADDRESS:
      return "EV_USER_NOT_AT_ADDRESS";
    case EV_HOST_NOT_FOUND:
      return "EV_HOST_NOT_FOUND";
    case EV_ALREADY_CONNECTED:
      return "EV_ALREADY_CONNECTED";
    case EV_REMOTE_BUSY:
      return "EV_REMOTE_BUSY";
    case EV_SESSION_INACCESSIBLE:
      return "EV_SESSION_INACCESSIBLE";
    default:
      return "EV_UNKNOWN";
  }
}

void FreeEventData(uint32_t code, uintptr_t data) {
  if (data == 0) return;
  switch (code) {
    case EV_BYTES_SENT:
    case EV_BYTES_RECEIVED:
      delete reinterpret_cast<ByteCountRecord*>(data);
      break;
    case EV_PACKET_GAP:
      delete reinterpret_cast<PacketGapRecord*>(data);
      break;
    case EV_ROUND_TRIP:
      delete reinterpret_cast<RoundTripRecord*>(data);
      break;
    case EV_PEER_JOINED:
      delete reinterpret_cast<PeerInfo*>(data);
      break;
    case EV_ALREADY_CONNECTED:
      delete reinterpret_cast<CallRequest*>(data);
      break;
    case EV_INCOMING_CALL:
    case EV_CONFERENCE_REQUEST:
      // Only the record: the request lives on with its other shares.
      delete reinterpret_cast<IncomingRequestRecord*>(data);
      break;
    default:
      // Static buffers and identifiers.
      break;
  }
}

void DropEvent(uint32_t code, uintptr_t data) {
  if ((code == EV_INCOMING_CALL || code == EV_CONFERENCE_REQUEST) && data != 0) {
    // Nobody will answer: turn the caller away instead of leaving the
    // engine's thread waiting for ever.
    const auto* record = reinterpret_cast<const IncomingRequestRecord*>(data);
    if (record->request != nullptr) record->request->Decide(IncomingRequest::kReject);
  }
  FreeEventData(code, data);
}

EventQueueWindow::~EventQueueWindow() {
  while (auto msg = queue_.TryGet()) {
    if (msg->message == WM_ENGINE_EVENT) DropEvent(static_cast<uint32_t>(msg->wParam), msg->lParam);
  }
}

bool EventQueueWindow::PostMessage(uint32_t message, uintptr_t wParam, uintptr_t lParam) {
  if (message != WM_ENGINE_EVENT) {
    queue_.Post({message, wParam, lParam});
    return true;
  }
  const auto code = static_cast<uint32_t>(wParam);
  const size_t waiting = queue_.Size();
  const bool counter = code == EV_BYTES_SENT || code == EV_BYTES_RECEIVED;
  const bool lossy = counter || code == EV_CAPTURE_BUFFER || code == EV_PLAYOUT_BUFFER ||
                     code == EV_PACKET_GAP || code == EV_ROUND_TRIP;
  {
    std::lock_guard lock(carryMutex_);
    if (counter && lParam != 0) {
      auto* record = reinterpret_cast<ByteCountRecord*>(lParam);
      const std::pair<uint32_t, const Connection*> key{code, record->connection};
      if (waiting >= capacity_ / 2) {
        carried_[key] += record->bytes;
        FreeEventData(code, lParam);
        return true;
      }
      // The record is not shared yet: what was held back rides along.
      if (auto it = carried_.find(key); it != carried_.end()) {
        record->bytes = static_cast<uint32_t>(
            std::min<uint64_t>(uint64_t{record->bytes} + it->second, UINT32_MAX));
        carried_.erase(it);
      }
    } else if (waiting >= (lossy ? capacity_ / 2 : capacity_)) {
      ++dropped_;
      return false;
    }
  }
  queue_.Post({message, wParam, lParam});
  return true;
}

uint64_t EventQueueWindow::Dropped() const {
  std::lock_guard lock(carryMutex_);
  return dropped_;
}

std::optional<ThreadMessage> EventQueueWindow::Next(uint32_t timeoutMs) {
  return queue_.GetFor(timeoutMs);
}

}  // namespace dialvo
