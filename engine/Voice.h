#pragma once
// The voice path's arithmetic, apart from threads and sockets: which captured
// blocks hold speech and which of them are sent, the jitter queue that waits
// for the mixer, and the mixer's mix-minus sums. All sample work is integer.
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

#include "engine/EngineConfig.h"
#include "engine/wire/Message.h"

namespace dialvo {

// One block of voice: 1600 samples of 16-bit mono PCM, 200 ms.
using AudioBlock = std::array<int16_t, wire::kBlockSamples>;
inline constexpr uint32_t kBlockBytes = wire::kBlockSamples * sizeof(int16_t);
// The devices' format: 8000 samples per second, mono, 16 bits.
inline constexpr uint32_t kVoiceSampleRate = 8000;
inline constexpr uint32_t kVoiceChannels = 1;
inline constexpr uint32_t kVoiceBits = 16;

// Voice detection level (units of 128) and the silent blocks still sent
// after speech, as the engine starts with them.
inline constexpr uint32_t kDefaultVoiceLevel = 20;
inline constexpr uint32_t kDefaultSilenceLimit = 10;

// Speech: more than a fifth of the samples lie beyond voiceLevel * 128 either
// way. The first 200 samples (25 ms) are not looked at, and a block of 200
// samples or fewer is never speech.
bool IsSpeech(std::span<const int16_t> samples, uint32_t voiceLevel);

// Which captured blocks go out. Speech always does, and so do the first
// silenceLimit silent blocks after it; later silent blocks are held back,
// and the last one held goes out ahead of the next block that is sent, so
// that the onset of a word is not cut.
class VoiceGate {
 public:
  explicit VoiceGate(uint32_t silenceLimit) : limit_(silenceLimit) {}

  enum class Step {
    kHold,           // send nothing; this block becomes the one held back
    kSend,           // send this block
    kSendHeldFirst,  // send the block held back, then this one
  };
  Step Next(bool speech);
  // The block of the last Next went out: sending goes on from here.
  void Sent(bool speech);

 private:
  const uint32_t limit_;
  uint32_t silence_ = 0;  // silent blocks in a row
  bool lastSent_ = true;  // whether the last block handled went out
};

// The blocks of one peer waiting for the mixer, oldest first. It holds at
// most five; a block offered to a full queue is dropped.
class JitterQueue {
 public:
  static constexpr size_t kCapacity = 5;

  // Copies the block in (its first 1600 samples, zeros for any missing);
  // false when the queue was full.
  bool Offer(std::span<const int16_t> block);
  // Copies the oldest block out and removes it; false when empty.
  bool Take(std::span<int16_t> out);
  size_t Size() const;

 private:
  // The jitter lock: guards the ring below. Taken by the receive-play
  // thread (Offer), the play thread (Take, inside the peer guard) and by
  // whoever asks for the size (round-trip reports).
  mutable std::mutex mutex_;
  std::array<AudioBlock, kCapacity> blocks_{};
  size_t head_ = 0;
  size_t count_ = 0;
};

// The conference mixer's work area: one block per party (at most
// kMaxPeers), their 32-bit sum, and for each party the sum of all the
// others clipped to 16 bits (mix-minus: nobody hears himself).
class MixerWork {
 public:
  static constexpr size_t kSlots = kMaxPeers;

  // Forgets the last round: no party has delivered.
  void Begin();
  // Where party i's block goes before Add(i); empty for i beyond the slots.
  std::span<int16_t> Slot(size_t i);
  // Party i delivered the block in its slot: it joins the sum.
  void Add(size_t i);
  size_t Delivered() const { return delivered_; }
  // Whether some party other than j delivered: only then j gets a mix.
  bool HasMixFor(size_t j) const;
  // The sum without party j's block, clipped to -32768..32767. Valid until
  // the next call.
  std::span<const int16_t> MixFor(size_t j);

 private:
  std::array<AudioBlock, kSlots> blocks_{};
  std::array<bool, kSlots> has_{};
  size_t delivered_ = 0;
  std::array<int32_t, wire::kBlockSamples> sum_{};
  AudioBlock out_{};
};

}  // namespace dialvo
