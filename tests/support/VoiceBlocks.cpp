#include "tests/support/VoiceBlocks.h"

#include <algorithm>
#include <cmath>

#include "audio/WavFile.h"

namespace dialvo::test {

std::vector<Block> Blocks(const std::vector<int16_t>& samples) {
  std::vector<Block> blocks;
  for (size_t at = 0; at < samples.size(); at += kBlock) {
    Block block(kBlock, 0);
    std::copy_n(samples.begin() + static_cast<ptrdiff_t>(at), std::min(kBlock, samples.size() - at),
                block.begin());
    blocks.push_back(std::move(block));
  }
  return blocks;
}

bool IsDigitalSilence(const Block& block) {
  return std::all_of(block.begin(), block.end(), [](int16_t s) { return s == 0; });
}

std::vector<Block> SoundBlocks(const std::string& wav) {
  std::vector<int16_t> samples;
  if (!ReadWavFile(wav, samples, nullptr, nullptr)) return {};
  samples.resize(samples.size() / kBlock * kBlock);
  std::vector<Block> blocks = Blocks(samples);
  std::erase_if(blocks, IsDigitalSilence);
  return blocks;
}

Sent SentBlocks(const std::vector<Block>& captured) {
  Sent sent;
  int silent = 0;
  bool lastSent = true;
  Block previous(kBlock, 0);
  for (const Block& block : captured) {
    int loud = 0;
    for (size_t i = 200; i < block.size(); ++i) loud += (block[i] > 2560 || block[i] < -2560);
    const bool speech = loud > 320;
    if (speech) {
      silent = 0;
    } else if (silent >= 10) {
      lastSent = false;
      ++silent;
      previous = block;
      continue;
    }
    if (!lastSent) {
      sent.blocks.push_back(previous);
      sent.held.push_back(true);
    }
    sent.blocks.push_back(block);
    sent.held.push_back(false);
    lastSent = true;
    if (!speech) ++silent;
  }
  return sent;
}

double Energy(std::span<const int16_t> samples, double hz) {
  const double coeff = 2 * std::cos(2 * M_PI * hz / 8000);
  double s1 = 0;
  double s2 = 0;
  for (const int16_t x : samples) {
    const double s0 = x + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return (s1 * s1 + s2 * s2 - coeff * s1 * s2) /
         static_cast<double>(samples.size() * samples.size());
}

std::vector<uint8_t> Gsm::Encode(Block block) {
  block.resize(kBlock, 0);
  std::vector<uint8_t> frames(kBlock / 160 * sizeof(gsm_frame));
  for (size_t f = 0; f < kBlock / 160; ++f) {
    gsm_encode(state_, block.data() + f * 160, frames.data() + f * sizeof(gsm_frame));
  }
  return frames;
}

Block Gsm::Decode(std::vector<uint8_t> frames) {
  frames.resize(kBlock / 160 * sizeof(gsm_frame), 0);
  Block block(kBlock);
  for (size_t f = 0; f < kBlock / 160; ++f) {
    gsm_decode(state_, frames.data() + f * sizeof(gsm_frame), block.data() + f * 160);
  }
  return block;
}

}  // namespace dialvo::test
