#pragma once
// The capture side of the voice path without its thread: each captured
// block is checked for speech, and what the gate lets through is encoded
// into a voice datagram and sent with the next sequence number of the link
// (the engine's local connection).
#include <cstdint>
#include <memory>
#include <span>

#include "engine/Voice.h"
#include "engine/wire/Message.h"

namespace dialvo {

class GsmCodec;

// Where captured voice goes: a datagram sink that can tell why its last
// send failed.
class VoiceLink : public wire::DatagramSink {
 public:
  // The errno value of the last failed send.
  virtual int LastSendError() const = 0;
};

class VoiceSender {
 public:
  VoiceSender(uint32_t voiceLevel, uint32_t silenceLimit);
  ~VoiceSender();
  VoiceSender(const VoiceSender&) = delete;
  VoiceSender& operator=(const VoiceSender&) = delete;

  struct Outcome {
    bool held = false;       // nothing went out: the block is held back
    bool heldFirst = false;  // the block held back before was sent ahead of this one
    int heldError = 0;       // errno of that send when it failed
    bool given = false;      // this block was handed to the link
    int error = 0;           // errno of this block's send when it failed
    bool done = false;       // this block counts as sent (an interrupted send counts)
  };
  // Handles one captured block (1600 samples; a shorter one is padded with
  // silence). A send failing with anything but EINTR ends the handling
  // there, and the gate does not move on.
  Outcome Handle(std::span<const int16_t> block, VoiceLink& link);

  // The block last handled.
  const AudioBlock& Current() const { return current_; }

 private:
  // 0 when sent, else the link's error.
  int Send(const AudioBlock& block, VoiceLink& link);

  const uint32_t voiceLevel_;
  VoiceGate gate_;
  std::unique_ptr<GsmCodec> encoder_;  // one GSM state for the whole capture stream
  AudioBlock current_{};
  AudioBlock previous_{};  // the block held back last; silence at the start
  wire::Message datagram_{wire::kCaptureVoiceBuffer};
};

}  // namespace dialvo
