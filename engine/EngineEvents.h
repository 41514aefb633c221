#pragma once
// What the engine reports to the application: one window message carrying an
// event code and one data value, whose ownership depends on the code.
#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>

#include "base/ThreadMessages.h"

namespace dialvo {

class Connection;

inline constexpr uint32_t WM_ENGINE_EVENT = kUserMessageBase + 1;  // 1025

enum EngineEvent : uint32_t {
  EV_BYTES_SENT = 1,             // new ByteCountRecord
  EV_BYTES_RECEIVED = 2,         // new ByteCountRecord
  EV_CAPTURE_BUFFER = 4,         // StaticAudioBuffer*, shared
  EV_PLAYOUT_BUFFER = 5,         // StaticAudioBuffer*, shared
  EV_CALL_STARTED = 7,           // 0
  EV_SERVER_BIND_ERROR = 8,      // 0
  EV_INCOMING_CALL = 9,          // new IncomingRequestRecord
  EV_CALL_ENDED = 12,            // 0
  EV_CONFERENCE_REQUEST = 15,    // new IncomingRequestRecord
  EV_PACKET_GAP = 17,            // new PacketGapRecord
  EV_CAPTURE_OPEN_FAILED = 19,   // 0
  EV_PLAYOUT_OPEN_FAILED = 20,   // 0
  EV_PEER_JOINED = 23,           // new PeerInfo
  EV_CONNECT_FAILED = 24,        // 0
  EV_RINGING = 25,               // 0
  EV_PEER_LEFT = 26,             // Connection*, an identifier only
  EV_ROUND_TRIP = 27,            // new RoundTripRecord
  EV_USER_NOT_AT_ADDRESS = 28,   // 0
  EV_HOST_NOT_FOUND = 29,        // Connection*, an identifier only
  EV_ALREADY_CONNECTED = 32,     // new CallRequest copy
  EV_REMOTE_BUSY = 33,           // 0
  EV_SESSION_INACCESSIBLE = 34,  // 0
};

struct ByteCountRecord {
  Connection* connection = nullptr;
  uint32_t bytes = 0;
};

struct PacketGapRecord {
  Connection* connection = nullptr;
  uint32_t difference = 0;
};

struct RoundTripRecord {
  void* owner = nullptr;  // the Connection, or the listening server for a ping to an address
  uint32_t cookie = 0;
  uint32_t roundTripMs = 0;
  uint32_t queuedBuffers = 0;
};

struct PeerInfo {
  char userName[256] = {};  // "UNKNOWN" when the peer never told its name
  Connection* connection = nullptr;
  uint32_t peerVersion = 1;
};

// Builds a PeerInfo with the name truncated to fit.
PeerInfo* NewPeerInfo(const char* userName, Connection* connection, uint32_t peerVersion);

// The last block of one kind (captured and sent, or played). The engine
// overwrites it with each event of that kind; a receiver reads it while
// handling the event. Process-wide, so that it outlives any engine.
class StaticAudioBuffer {
 public:
  static constexpr size_t kBytes = 3200;
  void Write(std::span<const uint8_t> block);
  std::array<uint8_t, kBytes> Read() const;

 private:
  mutable std::mutex mutex_;  // guards data_; taken by the engine thread writing and the reader
  std::array<uint8_t, kBytes> data_{};
};

StaticAudioBuffer& CaptureEventBuffer();
StaticAudioBuffer& PlayoutEventBuffer();

// The name of a code as the engine's documentation writes it ("EV_RINGING").
const char* EventName(uint32_t code);

// Frees the data value of an event after handling it (for the codes whose
// records the receiver owns; nothing for the others).
void FreeEventData(uint32_t code, uintptr_t data);

// Disposes of an event that will never be handled: frees its record, and
// turns away (rejects) a caller whose request nobody will decide.
void DropEvent(uint32_t code, uintptr_t data);

// Where posted window messages go. The desktop window implements it; the
// headless client and the tests use EventQueueWindow.
class IWindowTarget {
 public:
  virtual ~IWindowTarget() = default;
  // Never blocks; false when the window is gone.
  virtual bool PostMessage(uint32_t message, uintptr_t wParam, uintptr_t lParam) = 0;
};

// A thread-safe window stand-in: a FIFO of posted messages, bounded so that
// a peer flooding the engine cannot make it grow without end. Once half the
// capacity waits, the counting events give way first: byte counts are
// merged into the next one posted for the same connection, buffers, gaps
// and round trips are dropped; at the capacity every engine event is
// dropped (a caller's request is turned away). Drops are counted.
class EventQueueWindow final : public IWindowTarget {
 public:
  static constexpr size_t kDefaultCapacity = 4096;
  explicit EventQueueWindow(size_t capacity = kDefaultCapacity) : capacity_(capacity) {}
  ~EventQueueWindow() override;  // frees the records of unhandled engine events
  EventQueueWindow(const EventQueueWindow&) = delete;
  EventQueueWindow& operator=(const EventQueueWindow&) = delete;
  // False when the event was dropped (its record is the poster's to free).
  bool PostMessage(uint32_t message, uintptr_t wParam, uintptr_t lParam) override;
  // The next message, waiting up to timeoutMs; nullopt on time-out.
  std::optional<ThreadMessage> Next(uint32_t timeoutMs);
  size_t Pending() const { return queue_.Size(); }
  // Engine events dropped so far (merged byte counts are not dropped).
  uint64_t Dropped() const;

 private:
  const size_t capacity_;
  MessageQueue queue_;
  // Guards carried_ and dropped_; taken by every engine thread that posts
  // and by readers of Dropped. Innermost.
  mutable std::mutex carryMutex_;
  // Bytes of counter events not queued, by code and connection.
  std::map<std::pair<uint32_t, const Connection*>, uint64_t> carried_;
  uint64_t dropped_ = 0;
};

}  // namespace dialvo
