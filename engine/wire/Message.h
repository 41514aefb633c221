#pragma once
// The call protocol's datagrams: a 13-byte header ("ZQW\0", type, sample
// count, payload length L; little-endian) and a typed payload. Everything
// here is pure: building, validating and reading byte buffers.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dialvo::wire {

enum MessageType : uint8_t {
  MSG_CONNECT_REQUEST = 1,
  MSG_ACCEPT = 2,
  MSG_VOICE = 3,
  MSG_HANGUP = 4,
  MSG_REJECT = 7,
  MSG_RINGING = 8,
  MSG_R_U_THERE = 9,
  MSG_I_AM_HERE = 16,
  MSG_WHO_RU = 17,
  MSG_I_AM = 18,
  MSG_BUSY = 19,
  MSG_WRONG_USER = 20,
  MSG_SESSION_INACCESSIBLE = 21,
};

inline constexpr size_t kHeaderSize = 13;
inline constexpr uint32_t kProtocolVersion = 5;
inline constexpr size_t kTextField = 64;  // NUL-terminated, zero-padded

// Send buffer sizes: control messages, voice built by the mixer, voice built
// by the capture path. Receive buffers: peer and listening sockets, and call
// setup.
inline constexpr size_t kControlBuffer = 1024;
inline constexpr size_t kMixerVoiceBuffer = 4096;
inline constexpr size_t kCaptureVoiceBuffer = 32768;
inline constexpr size_t kReceiveBuffer = 4096;
inline constexpr size_t kSetupReceiveBuffer = 32768;

// Payload sizes.
inline constexpr uint32_t kCallIdentityLength = 272;
inline constexpr uint32_t kPingLength = 12;
inline constexpr uint32_t kIAmLength = 136;
inline constexpr uint32_t kGsmFrameBytes = 33;
inline constexpr uint32_t kVoiceBytes = 330;  // ten GSM frames, one 200 ms block
inline constexpr uint16_t kTrailerLength = 6;
inline constexpr uint32_t kVoiceLength = kVoiceBytes + kTrailerLength;
inline constexpr uint32_t kBlockSamples = 1600;

uint16_t LoadU16(const uint8_t* p);
uint32_t LoadU32(const uint8_t* p);
void StoreU16(uint8_t* p, uint16_t v);
void StoreU32(uint8_t* p, uint32_t v);

// A message being built: a zeroed buffer of fixed capacity with the magic in
// place. Only L + 13 bytes go on the wire.
class Message {
 public:
  explicit Message(size_t capacity = kControlBuffer);

  uint8_t* Data() { return buffer_.data(); }
  const uint8_t* Data() const { return buffer_.data(); }
  size_t Capacity() const { return buffer_.size(); }
  uint8_t* Payload() { return buffer_.data() + kHeaderSize; }
  const uint8_t* Payload() const { return buffer_.data() + kHeaderSize; }

  uint8_t Type() const { return buffer_[4]; }
  void SetType(uint8_t type) { buffer_[4] = type; }
  uint32_t SampleCount() const { return LoadU32(&buffer_[5]); }
  void SetSampleCount(uint32_t n) { StoreU32(&buffer_[5], n); }
  uint32_t PayloadLength() const { return LoadU32(&buffer_[9]); }
  // L is capped so that the wire bytes never reach past the buffer.
  void SetPayloadLength(uint32_t length);
  // Zeroes the payload and header fields, keeping the magic.
  void Clear();

  // The datagram as it goes on the wire: L + 13 bytes.
  std::span<const uint8_t> Bytes() const;

 private:
  std::vector<uint8_t> buffer_;
};

// A received datagram that passed validation: whole header, magic, and a
// payload of L bytes that lies inside what was received.
struct DatagramView {
  uint8_t type = 0;
  uint32_t sampleCount = 0;
  std::span<const uint8_t> bytes;    // exactly 13 + L bytes
  std::span<const uint8_t> payload;  // exactly L bytes
  uint32_t PayloadLength() const { return static_cast<uint32_t>(payload.size()); }
};

// True when the first bytes are "ZQW" and a zero.
bool HasMagic(std::span<const uint8_t> received);

// Length checks only (no magic): at least 13 bytes, and L within what was
// received. Used where the magic check is switched off.
std::optional<DatagramView> ParseDatagram(std::span<const uint8_t> received);

// Full validation: ParseDatagram plus the magic. A datagram shorter than 13
// bytes, shorter than 13 + L, or without the magic gives nullopt.
std::optional<DatagramView> ValidateDatagram(std::span<const uint8_t> received);

// Control message without payload (hang-up, reject, ringing, busy, ...).
Message BuildControl(uint8_t type);

// The 272-byte payload of MSG_CONNECT_REQUEST and MSG_ACCEPT.
struct CallIdentity {
  std::string userName;
  uint32_t protocolVersion = kProtocolVersion;
  std::string reserved;        // offset 80, ignored by receivers
  std::string sessionId;       // offset 144
  std::string expectedCallee;  // offset 208, requests only
};

Message BuildCallIdentity(uint8_t type, const CallIdentity& id);

// Reads the identity block. Fields from offset 80 on are read only when the
// protocol version is 5 or more. nullopt when L < 272 (an accept with L = 0
// carries no identity).
std::optional<CallIdentity> ParseCallIdentity(const DatagramView& dg);

// Round-trip measurement.
Message BuildPing(uint32_t tick, uint32_t cookie);
// The answer to a MSG_R_U_THERE: its first eight payload bytes, then zero.
// nullopt when the ping's payload is shorter than eight bytes.
std::optional<Message> BuildEcho(const DatagramView& ping);

struct PingPayload {
  uint32_t tick = 0;
  uint32_t cookie = 0;
};
std::optional<PingPayload> ParsePing(const DatagramView& dg);
// Milliseconds from the echoed tick to now; unsigned, so the wrap is harmless.
inline uint32_t RoundTrip(uint32_t now, uint32_t echoedTick) { return now - echoedTick; }

// MSG_I_AM: user name, protocol version, zeros.
Message BuildIAm(std::string_view userName, uint32_t protocolVersion);

// Fixed payload size of a type (272, 330, 12, 136 or 0).
uint32_t FixedPayloadSize(uint8_t type);
// 0 when L is not beyond the fixed part; else the u16 after the fixed part
// (0 as well if that u16 lies beyond the payload).
uint32_t TrailerLength(const DatagramView& dg);
uint32_t TrailerLength(const Message& msg);
// Voice frames in the payload: (L - trailer) / 33, 0 when the trailer claims
// more than the payload holds.
uint32_t FrameCount(const DatagramView& dg);

// The sequence trailer of a voice datagram.
enum class TrailerState { kNone, kPresent, kMalformed };
struct SequenceTrailer {
  TrailerState state = TrailerState::kNone;
  uint32_t sequence = 0;
};
SequenceTrailer ReadSequenceTrailer(const DatagramView& dg);

// Appends length 6 and the sequence number after the current payload and
// adds 6 to L. False when the buffer has no room.
bool AppendSequenceTrailer(Message& msg, uint32_t sequence);

// Where Send puts datagrams: a connection's socket and counters.
class DatagramSink {
 public:
  virtual ~DatagramSink() = default;
  // Sends the bytes to the peer; true when the socket accepted them.
  virtual bool SendDatagram(std::span<const uint8_t> bytes) = 0;
  // The next send sequence number (the counter then moves on).
  virtual uint32_t TakeSendSequence() = 0;
  // Reports the bytes of an accepted datagram.
  virtual void ReportBytesSent(uint32_t bytes) = 0;
};

// Sends L + 13 bytes and reports them; returns whether the socket accepted.
bool Send(DatagramSink& sink, const Message& msg);
// Appends the sequence trailer with the sink's next number, then Send.
bool SendSequenced(DatagramSink& sink, Message& msg);

// Reads a NUL-terminated text field of at most max bytes.
std::string ReadTextField(const uint8_t* p, size_t max);
// Writes at most max - 1 bytes and a NUL.
void WriteTextField(uint8_t* p, size_t max, std::string_view text);

}  // namespace dialvo::wire
