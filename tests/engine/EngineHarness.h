#pragma once
// Engines and raw UDP peers on loopback for the engine's tests.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "audio/SoundBackend.h"
#include "base/UdpSocket.h"
#include "engine/CallRequest.h"
#include "engine/EngineConfig.h"
#include "engine/EngineEvents.h"
#include "engine/EventSink.h"
#include "engine/IncomingRequest.h"
#include "engine/NetCore.h"
#include "engine/Voice.h"
#include "engine/wire/Message.h"

namespace dialvo::test {

// Any free ports, short waits and these sound devices (null ones, silence
// in and nothing out at the pace of real devices, without).
EngineConfig FastConfig(std::shared_ptr<SoundBackend> sound = nullptr);
// FastConfig with every wait an engine may sit out (receive, dispatch,
// handshake, decision) an hour long: a test that gets past an operation
// with it waited none of them out, and one that does would hang.
EngineConfig PatientConfig();

// What the test keeps of one engine event (records are freed at once).
struct SeenEvent {
  uint32_t code = 0;
  std::string name;  // peer or caller name
  Connection* connection = nullptr;
  uint32_t value = 0;     // bytes, gap, cookie or peer version
  void* owner = nullptr;  // of a round trip
  uint32_t queued = 0;    // of a round trip: blocks in the peer's jitter queue
};

// A block the engine handed over for recording.
struct RecordedBlock {
  bool fromRemote = false;
  std::vector<int16_t> samples;
};

// The event sink of a test engine: posts to its window and keeps every
// block handed over for recording.
class RecordingSink final : public EventSink {
 public:
  using EventSink::EventSink;
  void AddAudio(const void* pcm, uint32_t bytes, bool fromRemote) override;
  std::vector<RecordedBlock> Blocks() const;

 private:
  mutable std::mutex mutex_;  // guards blocks_; taken by the engine's voice threads and the test
  std::vector<RecordedBlock> blocks_;
};

// An engine with a thread that plays the application: it records every
// event and answers callers as told.
class TestEngine {
 public:
  enum class Answer { kAccept, kReject, kHold };

  explicit TestEngine(const std::string& user, const EngineConfig& config = FastConfig());
  // Turns away held callers, stops and deletes the engine.
  ~TestEngine();
  TestEngine(const TestEngine&) = delete;
  TestEngine& operator=(const TestEngine&) = delete;

  NetCore& Engine() { return *engine_; }
  // Deletes the engine as it is, without stopping it first.
  void DeleteEngine() { engine_.reset(); }
  uint16_t Port() const { return engine_->ListeningPort(); }
  SockAddr Address() const { return SockAddr::Loopback(Port()); }
  size_t PeerCount();

  void SetAnswer(Answer answer);
  // Decides every held request.
  void DecideHeld(uint32_t decision);
  // The requests held and not yet decided by the test.
  std::vector<std::shared_ptr<IncomingRequest>> Held();

  // Calls another engine (or any listening port) on loopback.
  Connection* Call(uint16_t port, const std::string& callee = "", bool confirm = false);

  bool WaitFor(uint32_t code, size_t count = 1, int timeoutMs = 5000);
  size_t Count(uint32_t code);
  std::vector<SeenEvent> Seen(uint32_t code);
  // Event codes in order, leaving out byte counters and sound buffers.
  std::vector<uint32_t> Codes();
  // The blocks handed over for recording so far.
  std::vector<RecordedBlock> Recorded() const { return sink_.Blocks(); }

 private:
  void Pump();

  EventQueueWindow window_;
  RecordingSink sink_{&window_};
  std::unique_ptr<NetCore> engine_;
  std::mutex mutex_;  // guards the fields below; taken by the test and the pump thread
  std::condition_variable changed_;
  std::vector<SeenEvent> events_;
  std::vector<std::shared_ptr<IncomingRequest>> held_;
  Answer answer_ = Answer::kAccept;
  std::atomic<bool> quit_{false};
  std::thread pump_;
};

// A datagram socket on 127.0.0.host that speaks the protocol by hand.
class RawPeer {
 public:
  explicit RawPeer(int host = 1);
  SockAddr Address() const { return address_; }

  bool Send(const wire::Message& msg, const SockAddr& to);
  bool SendBytes(std::span<const uint8_t> bytes, const SockAddr& to);

  struct Datagram {
    std::vector<uint8_t> bytes;
    SockAddr from;
    int64_t atMs = 0;  // steady clock
    uint8_t Type() const { return bytes.size() > 4 ? bytes[4] : 0; }
  };
  std::optional<Datagram> Receive(int timeoutMs = 3000);
  // The next datagram of this type, skipping others.
  std::optional<Datagram> ReceiveType(uint8_t type, int timeoutMs = 3000);
  // Nothing at all arrives within timeoutMs.
  bool Quiet(int timeoutMs);

 private:
  UdpSocket socket_;
  SockAddr address_;
};

wire::Message Request(const std::string& user, const std::string& session = "",
                      const std::string& expectedCallee = "",
                      uint32_t version = wire::kProtocolVersion);

// Voice of zero bytes numbered `sequence`, as a peer sends it.
wire::Message Voice(uint32_t sequence);

// A silent block unlike that of any other tag.
AudioBlock Hush(int tag);

// Answers the next ping that reaches peer, as every engine does at once.
bool EchoPing(RawPeer& peer, const SockAddr& to, int timeoutMs = 3000);

// A raw caller that the engine accepted and that echoed its ping (the
// joinedBefore + 1st peer to join): the engine's connection to it.
Connection* Join(RawPeer& caller, TestEngine& engine, size_t joinedBefore = 0);

// Sound devices on files: capture from playFile (silence when empty, again
// from its start at its end with loop), playback to recFile (discarded when
// empty).
std::shared_ptr<SoundBackend> FileSound(const std::string& playFile,
                                        const std::string& recFile = "", bool loop = false);

// Sound devices from two backends: capture from one, playback on the other;
// a missing one refuses to open, at once.
std::shared_ptr<SoundBackend> SplitBackend(std::shared_ptr<SoundBackend> capture,
                                           std::shared_ptr<SoundBackend> playback);

}  // namespace dialvo::test
