#include "engine/Voice.h"

#include <algorithm>

namespace dialvo {

namespace {
// Samples at the start of a block that voice detection skips (25 ms).
constexpr size_t kSkippedSamples = 200;
}  // namespace

bool IsSpeech(std::span<const int16_t> samples, uint32_t voiceLevel) {
  const size_t n = samples.size();
  if (n <= kSkippedSamples) return false;
  const size_t limit = n / 5;
  const int32_t threshold = static_cast<int32_t>(std::min<uint32_t>(voiceLevel, 0x10000)) * 128;
  size_t loud = 0;
  for (size_t i = kSkippedSamples; i < n; ++i) {
    const int32_t s = samples[i];
    if (s > threshold || s < -threshold) {
      if (++loud > limit) return true;
    }
  }
  return false;
}

VoiceGate::Step VoiceGate::Next(bool speech) {
  if (speech) {
    silence_ = 0;
  } else if (silence_ >= limit_) {
    lastSent_ = false;
    if (silence_ < UINT32_MAX) ++silence_;
    return Step::kHold;
  }
  return lastSent_ ? Step::kSend : Step::kSendHeldFirst;
}

void VoiceGate::Sent(bool speech) {
  lastSent_ = true;
  if (!speech && silence_ < UINT32_MAX) ++silence_;
}

bool JitterQueue::Offer(std::span<const int16_t> block) {
  std::lock_guard lock(mutex_);
  if (count_ >= kCapacity) return false;
  AudioBlock& slot = blocks_[(head_ + count_) % kCapacity];
  const size_t n = std::min(block.size(), slot.size());
  std::copy_n(block.begin(), n, slot.begin());
  std::fill(slot.begin() + static_cast<ptrdiff_t>(n), slot.end(), int16_t{0});
  ++count_;
  return true;
}

bool JitterQueue::Take(std::span<int16_t> out) {
  std::lock_guard lock(mutex_);
  if (count_ == 0) return false;
  const AudioBlock& slot = blocks_[head_];
  std::copy_n(slot.begin(), std::min(out.size(), slot.size()), out.begin());
  head_ = (head_ + 1) % kCapacity;
  --count_;
  return true;
}

size_t JitterQueue::Size() const {
  std::lock_guard lock(mutex_);
  return count_;
}

void MixerWork::Begin() {
  has_.fill(false);
  delivered_ = 0;
  sum_.fill(0);
}

std::span<int16_t> MixerWork::Slot(size_t i) {
  if (i >= kSlots) return {};
  return blocks_[i];
}

void MixerWork::Add(size_t i) {
  if (i >= kSlots || has_[i]) return;
  has_[i] = true;
  ++delivered_;
  const AudioBlock& block = blocks_[i];
  for (size_t k = 0; k < sum_.size(); ++k) sum_[k] += block[k];
}

bool MixerWork::HasMixFor(size_t j) const {
  const bool own = j < kSlots && has_[j];
  return delivered_ > (own ? 1u : 0u);
}

std::span<const int16_t> MixerWork::MixFor(size_t j) {
  const auto clip = [](int32_t v) {
    return static_cast<int16_t>(std::clamp(v, int32_t{-32768}, int32_t{32767}));
  };
  if (j < kSlots && has_[j]) {
    const AudioBlock& own = blocks_[j];
    for (size_t k = 0; k < sum_.size(); ++k) out_[k] = clip(sum_[k] - own[k]);
  } else {
    for (size_t k = 0; k < sum_.size(); ++k) out_[k] = clip(sum_[k]);
  }
  return out_;
}

}  // namespace dialvo
