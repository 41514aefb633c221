// The voice path's decisions and sums without threads or sockets: voice
// detection, which captured blocks are sent, the jitter queue and the
// mix-minus mixer.
#include "engine/Voice.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <vector>

#include "audio/GsmCodec.h"
#include "engine/VoiceSender.h"
#include "tests/engine/EngineHarness.h"

namespace dialvo {
namespace {

using namespace wire;
using test::Hush;

// A block of zeros with `count` samples of `value` from sample `from` on.
AudioBlock Loud(size_t count, int16_t value = 2561, size_t from = 200) {
  AudioBlock block{};
  for (size_t i = 0; i < count; ++i) block[from + i] = value;
  return block;
}

TEST(VoiceDetection, MoreThanAFifthOfTheSamplesBeyondTheLevelAfterTheFirst200) {
  EXPECT_FALSE(IsSpeech(Loud(320), 20));
  EXPECT_TRUE(IsSpeech(Loud(321), 20));
  EXPECT_TRUE(IsSpeech(Loud(321, -2561), 20));
  EXPECT_FALSE(IsSpeech(Loud(400, 2560), 20));   // at the threshold is not beyond it
  EXPECT_FALSE(IsSpeech(Loud(400, -2560), 20));  // nor on the negative side
  EXPECT_TRUE(IsSpeech(Loud(321, 1281), 10));    // the level sets the threshold
  EXPECT_FALSE(IsSpeech(Loud(321, 1280), 10));

  // The first 200 samples do not count, however loud.
  AudioBlock early = Loud(320);
  for (size_t i = 0; i < 200; ++i) early[i] = 32767;
  EXPECT_FALSE(IsSpeech(early, 20));
  const AudioBlock late = Loud(321, 2561, AudioBlock{}.size() - 321);
  EXPECT_TRUE(IsSpeech(late, 20));

  // Short blocks: the limit is a fifth of their length; 200 samples or
  // fewer are never speech.
  std::vector<int16_t> shortBlock(400, 0);
  std::fill_n(shortBlock.begin() + 200, 80, int16_t{3000});
  EXPECT_FALSE(IsSpeech(shortBlock, 20));
  shortBlock[280] = 3000;
  EXPECT_TRUE(IsSpeech(shortBlock, 20));
  const std::vector<int16_t> tiny(200, 30000);
  EXPECT_FALSE(IsSpeech(tiny, 20));
}

// Records what the sender sends; sends fail as scripted.
class FakeLink final : public VoiceLink {
 public:
  bool SendDatagram(std::span<const uint8_t> bytes) override {
    if (!failures_.empty()) {
      error_ = failures_.front();
      failures_.pop_front();
      if (error_ != 0) return false;
    }
    sent_.emplace_back(bytes.begin(), bytes.end());
    return true;
  }
  uint32_t TakeSendSequence() override { return next_++; }
  void ReportBytesSent(uint32_t) override {}
  int LastSendError() const override { return error_; }

  // The next sends fail with these errors (0: succeeds).
  void FailNext(std::initializer_list<int> errors) { failures_.assign(errors); }
  const std::vector<std::vector<uint8_t>>& Sent() const { return sent_; }
  uint32_t Sequence(size_t i) const {
    const DatagramView dg = *ValidateDatagram(sent_.at(i));
    return ReadSequenceTrailer(dg).sequence;
  }
  std::vector<uint8_t> Frames(size_t i) const {
    const DatagramView dg = *ValidateDatagram(sent_.at(i));
    return {dg.payload.begin(), dg.payload.begin() + kVoiceBytes};
  }

 private:
  std::vector<std::vector<uint8_t>> sent_;
  std::deque<int> failures_;
  int error_ = 0;
  uint32_t next_ = 1;
};

// The frames one GSM state makes of these blocks in turn.
std::vector<std::vector<uint8_t>> Encoded(const std::vector<AudioBlock>& blocks) {
  std::unique_ptr<GsmCodec> codec = CreateCodec();
  std::vector<std::vector<uint8_t>> out;
  for (const AudioBlock& block : blocks) {
    std::vector<uint8_t> frames(kVoiceBytes);
    uint32_t count = kBlockSamples;
    codec->Encode(block, count, frames);
    out.push_back(frames);
  }
  return out;
}

TEST(VoiceSender, TenSilentBlocksFollowSpeechThenTheLastHeldBlockLeadsTheNextSpeech) {
  VoiceSender sender(kDefaultVoiceLevel, kDefaultSilenceLimit);
  FakeLink link;
  const AudioBlock speech = Loud(400);
  std::vector<AudioBlock> expected;  // what should go out, in order

  // Silence at the start goes out too, up to the limit: nothing is held yet.
  const VoiceSender::Outcome first = sender.Handle(Hush(1), link);
  EXPECT_TRUE(first.done && first.given && !first.heldFirst);
  expected.push_back(Hush(1));
  EXPECT_TRUE(sender.Handle(speech, link).done);
  expected.push_back(speech);
  for (int i = 0; i < 10; ++i) {
    const VoiceSender::Outcome out = sender.Handle(Hush(10 + i), link);
    EXPECT_TRUE(out.done && !out.held) << i;
    expected.push_back(Hush(10 + i));
  }
  for (int i = 0; i < 5; ++i) {
    const VoiceSender::Outcome out = sender.Handle(Hush(30 + i), link);
    EXPECT_TRUE(out.held && !out.given && !out.done) << i;
  }
  EXPECT_EQ(link.Sent().size(), 12u);

  // Speech again: the last held block, then the speech, back to back.
  const VoiceSender::Outcome resumed = sender.Handle(speech, link);
  EXPECT_TRUE(resumed.heldFirst && resumed.given && resumed.done);
  expected.push_back(Hush(34));
  expected.push_back(speech);
  ASSERT_EQ(link.Sent().size(), expected.size());
  EXPECT_EQ(link.Sequence(13), link.Sequence(12) + 1);
  const auto frames = Encoded(expected);
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(link.Frames(i), frames[i]) << "datagram " << i;
    const DatagramView dg = *ValidateDatagram(link.Sent()[i]);
    EXPECT_EQ(dg.type, MSG_VOICE);
    EXPECT_EQ(dg.sampleCount, kBlockSamples);
    EXPECT_EQ(dg.PayloadLength(), kVoiceLength);
  }
  // The hangover starts again after this speech.
  EXPECT_FALSE(sender.Handle(Hush(50), link).held);
}

TEST(VoiceSender, FailedSendsStopTheBlockInterruptedOnesDoNot) {
  VoiceSender sender(kDefaultVoiceLevel, 0);  // every silent block is held
  FakeLink link;
  EXPECT_TRUE(sender.Handle(Hush(1), link).held);

  // The held block's send fails: the speech is not sent, and the held
  // block is still owed.
  link.FailNext({ECONNREFUSED});
  VoiceSender::Outcome out = sender.Handle(Loud(400), link);
  EXPECT_EQ(out.heldError, ECONNREFUSED);
  EXPECT_FALSE(out.given || out.done);
  EXPECT_TRUE(link.Sent().empty());

  // An interrupted held send lets the block go on.
  link.FailNext({EINTR});
  out = sender.Handle(Loud(400), link);
  EXPECT_EQ(out.heldError, EINTR);
  EXPECT_TRUE(out.given && out.done);
  EXPECT_EQ(link.Sent().size(), 1u);

  // A failed block send: handed over (so it is recorded) but not done; an
  // interrupted one is done.
  link.FailNext({EIO});
  out = sender.Handle(Loud(400), link);
  EXPECT_TRUE(out.given && !out.done);
  EXPECT_EQ(out.error, EIO);
  link.FailNext({EINTR});
  out = sender.Handle(Loud(400), link);
  EXPECT_TRUE(out.given && out.done);
  EXPECT_EQ(out.error, EINTR);
}

TEST(JitterQueue, HoldsFiveBlocksOldestFirstAndDropsTheSixth) {
  JitterQueue queue;
  for (int16_t i = 1; i <= 5; ++i) EXPECT_TRUE(queue.Offer(Loud(1, i)));
  EXPECT_FALSE(queue.Offer(Loud(1, 6)));
  EXPECT_EQ(queue.Size(), 5u);
  AudioBlock out{};
  for (int16_t i = 1; i <= 5; ++i) {
    ASSERT_TRUE(queue.Take(out));
    EXPECT_EQ(out[200], i);
  }
  EXPECT_FALSE(queue.Take(out));
  // Room again, and the ring wraps; a short block is padded with silence.
  const std::vector<int16_t> half(800, 9);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(queue.Offer(Loud(1, 7)));
  EXPECT_TRUE(queue.Offer(half));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(queue.Take(out));
  EXPECT_EQ(out[799], 9);
  EXPECT_EQ(out[800], 0);
}

AudioBlock Constant(int16_t value) {
  AudioBlock block;
  block.fill(value);
  return block;
}

TEST(Mixer, EachPartyGetsTheOthersClippedAndNobodyHearsHimself) {
  MixerWork mixer;
  const auto deliver = [&](size_t slot, const AudioBlock& block) {
    std::copy(block.begin(), block.end(), mixer.Slot(slot).begin());
    mixer.Add(slot);
  };
  const auto mixFor = [&](size_t j) {
    const std::span<const int16_t> mix = mixer.MixFor(j);
    return std::vector<int16_t>(mix.begin(), mix.end());
  };
  const auto all = [](int16_t v) { return std::vector<int16_t>(kBlockSamples, v); };

  // A (slot 0), B and C talk: B gets A + C, C gets A + B, A gets B + C.
  mixer.Begin();
  deliver(0, Constant(100));
  deliver(1, Constant(20000));
  AudioBlock c = Constant(-30000);
  c[5] = 30000;
  deliver(2, c);
  EXPECT_EQ(mixer.Delivered(), 3u);
  EXPECT_EQ(mixFor(1)[0], 100 - 30000);
  EXPECT_EQ(mixFor(2)[0], 20100);
  std::vector<int16_t> a = mixFor(0);
  EXPECT_EQ(a[0], -10000);
  EXPECT_EQ(a[5], 32767);  // 50000 clips
  std::vector<int16_t> b = mixFor(1);
  EXPECT_EQ(b[5], 30100);
  // Negative sums clip at the bottom of the range.
  mixer.Begin();
  deliver(1, Constant(-20000));
  deliver(2, Constant(-20000));
  EXPECT_EQ(mixFor(0), all(-32768));
  EXPECT_EQ(mixFor(1), all(-20000));

  // Only B talks: A and C hear B, B gets nothing; the last round is gone.
  mixer.Begin();
  deliver(1, Constant(1234));
  EXPECT_FALSE(mixer.HasMixFor(1));
  EXPECT_TRUE(mixer.HasMixFor(0) && mixer.HasMixFor(2));
  EXPECT_EQ(mixFor(0), all(1234));
  EXPECT_EQ(mixFor(2), all(1234));
  // A party that did not deliver hears everyone who did.
  deliver(3, Constant(-34));
  EXPECT_EQ(mixFor(5), all(1200));

  // Seven slots and no more.
  EXPECT_EQ(mixer.Slot(MixerWork::kSlots - 1).size(), kBlockSamples);
  EXPECT_TRUE(mixer.Slot(MixerWork::kSlots).empty());
  mixer.Add(MixerWork::kSlots);
  EXPECT_EQ(mixer.Delivered(), 2u);
}

}  // namespace
}  // namespace dialvo
