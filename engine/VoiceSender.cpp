#include "engine/VoiceSender.h"

#include <algorithm>
#include <cerrno>

#include "audio/GsmCodec.h"

namespace dialvo {

VoiceSender::VoiceSender(uint32_t voiceLevel, uint32_t silenceLimit)
    : voiceLevel_(voiceLevel), gate_(silenceLimit), encoder_(CreateCodec()) {
  datagram_.SetType(wire::MSG_VOICE);
}

VoiceSender::~VoiceSender() = default;

int VoiceSender::Send(const AudioBlock& block, VoiceLink& link) {
  if (encoder_ == nullptr) return ENOMEM;
  encoder_->EncodePacket(block, datagram_);
  if (wire::SendSequenced(link, datagram_)) return 0;
  const int error = link.LastSendError();
  return error != 0 ? error : EIO;
}

VoiceSender::Outcome VoiceSender::Handle(std::span<const int16_t> block, VoiceLink& link) {
  const size_t n = std::min(block.size(), current_.size());
  std::copy_n(block.begin(), n, current_.begin());
  std::fill(current_.begin() + static_cast<ptrdiff_t>(n), current_.end(), int16_t{0});
  const bool speech = IsSpeech(current_, voiceLevel_);

  Outcome out;
  const VoiceGate::Step step = gate_.Next(speech);
  if (step == VoiceGate::Step::kHold) {
    previous_ = current_;
    out.held = true;
    return out;
  }
  if (step == VoiceGate::Step::kSendHeldFirst) {
    out.heldFirst = true;
    out.heldError = Send(previous_, link);
    if (out.heldError != 0 && out.heldError != EINTR) return out;
  }
  out.given = true;
  out.error = Send(current_, link);
  if (out.error != 0 && out.error != EINTR) return out;
  gate_.Sent(speech);
  out.done = true;
  return out;
}

}  // namespace dialvo
