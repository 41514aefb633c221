#include "engine/wire/Message.h"

#include <algorithm>
#include <cstring>

namespace dialvo::wire {

namespace {
constexpr uint8_t kMagic[4] = {'Z', 'Q', 'W', 0};

// Offsets inside the call identity block.
constexpr size_t kIdName = 0;
constexpr size_t kIdVersion = 64;
constexpr size_t kIdReserved = 80;
constexpr size_t kIdSession = 144;
constexpr size_t kIdCallee = 208;
}  // namespace

uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void StoreU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void StoreU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string ReadTextField(const uint8_t* p, size_t max) {
  const auto* begin = reinterpret_cast<const char*>(p);
  return std::string(begin, strnlen(begin, max));
}

void WriteTextField(uint8_t* p, size_t max, std::string_view text) {
  const size_t n = std::min(text.size(), max - 1);
  std::memcpy(p, text.data(), n);
  std::memset(p + n, 0, max - n);
}

Message::Message(size_t capacity) : buffer_(std::max(capacity, kHeaderSize), 0) {
  std::memcpy(buffer_.data(), kMagic, sizeof kMagic);
}

void Message::SetPayloadLength(uint32_t length) {
  const auto room = static_cast<uint32_t>(buffer_.size() - kHeaderSize);
  StoreU32(&buffer_[9], std::min(length, room));
}

void Message::Clear() { std::fill(buffer_.begin() + 4, buffer_.end(), 0); }

std::span<const uint8_t> Message::Bytes() const {
  const size_t n = std::min(buffer_.size(), kHeaderSize + PayloadLength());
  return {buffer_.data(), n};
}

bool HasMagic(std::span<const uint8_t> received) {
  return received.size() >= sizeof kMagic && std::memcmp(received.data(), kMagic, 4) == 0;
}

std::optional<DatagramView> ParseDatagram(std::span<const uint8_t> received) {
  if (received.size() < kHeaderSize) return std::nullopt;
  const uint32_t length = LoadU32(received.data() + 9);
  if (length > received.size() - kHeaderSize) return std::nullopt;
  DatagramView dg;
  dg.type = received[4];
  dg.sampleCount = LoadU32(received.data() + 5);
  dg.bytes = received.first(kHeaderSize + length);
  dg.payload = received.subspan(kHeaderSize, length);
  return dg;
}

std::optional<DatagramView> ValidateDatagram(std::span<const uint8_t> received) {
  if (!HasMagic(received)) return std::nullopt;
  return ParseDatagram(received);
}

Message BuildControl(uint8_t type) {
  Message msg(kControlBuffer);
  msg.SetType(type);
  return msg;
}

Message BuildCallIdentity(uint8_t type, const CallIdentity& id) {
  Message msg(kControlBuffer);
  msg.SetType(type);
  msg.SetPayloadLength(kCallIdentityLength);
  uint8_t* p = msg.Payload();
  WriteTextField(p + kIdName, kTextField, id.userName);
  StoreU32(p + kIdVersion, id.protocolVersion);
  WriteTextField(p + kIdReserved, kTextField, id.reserved);
  WriteTextField(p + kIdSession, kTextField, id.sessionId);
  WriteTextField(p + kIdCallee, kTextField, id.expectedCallee);
  return msg;
}

std::optional<CallIdentity> ParseCallIdentity(const DatagramView& dg) {
  if (dg.PayloadLength() < kCallIdentityLength) return std::nullopt;
  const uint8_t* p = dg.payload.data();
  CallIdentity id;
  id.userName = ReadTextField(p + kIdName, kTextField);
  id.protocolVersion = LoadU32(p + kIdVersion);
  // Older peers know nothing of the fields from offset 80 on.
  if (id.protocolVersion >= kProtocolVersion) {
    id.reserved = ReadTextField(p + kIdReserved, kTextField);
    id.sessionId = ReadTextField(p + kIdSession, kTextField);
    id.expectedCallee = ReadTextField(p + kIdCallee, kTextField);
  }
  return id;
}

Message BuildPing(uint32_t tick, uint32_t cookie) {
  Message msg(kControlBuffer);
  msg.SetType(MSG_R_U_THERE);
  msg.SetPayloadLength(kPingLength);
  StoreU32(msg.Payload(), tick);
  StoreU32(msg.Payload() + 4, cookie);
  return msg;
}

std::optional<Message> BuildEcho(const DatagramView& ping) {
  if (ping.PayloadLength() < 8) return std::nullopt;
  Message msg(kControlBuffer);
  msg.SetType(MSG_I_AM_HERE);
  msg.SetPayloadLength(kPingLength);
  std::memcpy(msg.Payload(), ping.payload.data(), 8);
  return msg;
}

std::optional<PingPayload> ParsePing(const DatagramView& dg) {
  if (dg.PayloadLength() < 8) return std::nullopt;
  return PingPayload{LoadU32(dg.payload.data()), LoadU32(dg.payload.data() + 4)};
}

Message BuildIAm(std::string_view userName, uint32_t protocolVersion) {
  Message msg(kControlBuffer);
  msg.SetType(MSG_I_AM);
  msg.SetPayloadLength(kIAmLength);
  WriteTextField(msg.Payload(), kTextField, userName);
  StoreU32(msg.Payload() + kTextField, protocolVersion);
  return msg;
}

uint32_t FixedPayloadSize(uint8_t type) {
  switch (type) {
    case MSG_CONNECT_REQUEST:
      return kCallIdentityLength;
    case MSG_VOICE:
      return kVoiceBytes;
    case MSG_R_U_THERE:
    case MSG_I_AM_HERE:
      return kPingLength;
    case MSG_I_AM:
      return kIAmLength;
    default:
      return 0;
  }
}

namespace {
uint32_t TrailerLengthOf(uint8_t type, const uint8_t* payload, uint32_t length) {
  const uint32_t fixed = FixedPayloadSize(type);
  if (length <= fixed) return 0;
  if (length < fixed + 2) return 0;  // the length field itself is cut off
  return LoadU16(payload + fixed);
}
}  // namespace

uint32_t TrailerLength(const DatagramView& dg) {
  return TrailerLengthOf(dg.type, dg.payload.data(), dg.PayloadLength());
}

uint32_t TrailerLength(const Message& msg) {
  const uint32_t length =
      std::min<uint32_t>(msg.PayloadLength(), static_cast<uint32_t>(msg.Capacity() - kHeaderSize));
  return TrailerLengthOf(msg.Type(), msg.Payload(), length);
}

uint32_t FrameCount(const DatagramView& dg) {
  const uint32_t trailer = TrailerLength(dg);
  if (trailer > dg.PayloadLength()) return 0;
  return (dg.PayloadLength() - trailer) / kGsmFrameBytes;
}

SequenceTrailer ReadSequenceTrailer(const DatagramView& dg) {
  const uint32_t fixed = FixedPayloadSize(dg.type);
  const uint32_t length = dg.PayloadLength();
  if (length <= fixed) return {};
  if (length < fixed + kTrailerLength) return {TrailerState::kMalformed, 0};
  if (LoadU16(dg.payload.data() + fixed) < kTrailerLength) return {TrailerState::kMalformed, 0};
  return {TrailerState::kPresent, LoadU32(dg.payload.data() + fixed + 2)};
}

bool AppendSequenceTrailer(Message& msg, uint32_t sequence) {
  const uint32_t length = msg.PayloadLength();
  if (kHeaderSize + length + kTrailerLength > msg.Capacity()) return false;
  uint8_t* trailer = msg.Payload() + length;
  StoreU16(trailer, kTrailerLength);
  StoreU32(trailer + 2, sequence);
  msg.SetPayloadLength(length + kTrailerLength);
  return true;
}

bool Send(DatagramSink& sink, const Message& msg) {
  const std::span<const uint8_t> bytes = msg.Bytes();
  if (!sink.SendDatagram(bytes)) return false;
  sink.ReportBytesSent(static_cast<uint32_t>(bytes.size()));
  return true;
}

bool SendSequenced(DatagramSink& sink, Message& msg) {
  if (!AppendSequenceTrailer(msg, sink.TakeSendSequence())) return false;
  return Send(sink, msg);
}

}  // namespace dialvo::wire
