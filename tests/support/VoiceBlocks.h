#pragma once
// Voice as the call tests reckon it: 200 ms blocks of 8 kHz samples, the
// blocks of a recording that hold sound, the blocks the speech gate puts on
// the wire, and GSM 06.10 through libgsm itself rather than the program's
// codec.
#include <gsm.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace dialvo::test {

constexpr size_t kBlock = 1600;  // samples in 200 ms
using Block = std::vector<int16_t>;

// The samples in blocks, the last one filled up with silence.
std::vector<Block> Blocks(const std::vector<int16_t>& samples);

bool IsDigitalSilence(const Block& block);

// The whole blocks of a recording that hold sound: the player writes exact
// zeros when it has nothing to play, and nothing that went through the codec
// comes out as exact zeros. A block still being written is left out.
std::vector<Block> SoundBlocks(const std::string& wav);

// Which captured blocks the sender puts on the wire, worked out from the
// rule a user is promised: a block is speech when more than 320 of its
// samples after the first 200 lie beyond +-2560; speech and the 10 silent
// blocks after it are sent, later silence is held back, and the last block
// held goes out just before the next one sent. held[i] tells that blocks[i]
// went out ahead of its turn (no capture event is shown for it).
struct Sent {
  std::vector<Block> blocks;
  std::vector<bool> held;
};
Sent SentBlocks(const std::vector<Block>& captured);

// Energy of one frequency in some samples (Goertzel), per sample.
double Energy(std::span<const int16_t> samples, double hz);

// One libgsm state, carried from block to block: a block into its ten
// frames, or frames back into a block.
class Gsm {
 public:
  Gsm() : state_(gsm_create()) {}
  ~Gsm() { gsm_destroy(state_); }
  Gsm(const Gsm&) = delete;
  Gsm& operator=(const Gsm&) = delete;
  std::vector<uint8_t> Encode(Block block);
  Block Decode(std::vector<uint8_t> frames);

 private:
  gsm state_;
};

// One GSM stream end to end: each block encoded and decoded again.
class GsmStream {
 public:
  Block Pass(const Block& block) { return decoder_.Decode(encoder_.Encode(block)); }

 private:
  Gsm encoder_;
  Gsm decoder_;
};

}  // namespace dialvo::test
