// Voice through a running engine: captured blocks to the peers, peers' voice
// mixed for each other and for the local user, jitter queues and recording
// hand-offs. Raw peers on loopback encode and decode with their own GSM
// states, so what they hear is compared with a reference sample by sample.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audio/GsmCodec.h"
#include "audio/WavFile.h"
#include "engine/Connection.h"
#include "engine/Voice.h"
#include "tests/engine/EngineHarness.h"
#include "tests/support/FakeClock.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/VoiceBlocks.h"
#include "tests/support/Wait.h"

namespace dialvo::test {
namespace {

using namespace wire;

// A tone block, loud enough to count as speech; phase runs on with n.
AudioBlock Tone(int n, double hz = 500, double amplitude = 9000) {
  AudioBlock block{};
  for (size_t i = 0; i < block.size(); ++i) {
    const double t =
        static_cast<double>(static_cast<size_t>(n) * kBlockSamples + i) / kVoiceSampleRate;
    block[i] = static_cast<int16_t>(amplitude * std::sin(2 * M_PI * hz * t));
  }
  return block;
}

// One stream through GSM: encoded by one state, decoded by another, both
// carried from block to block as a sender and its receiver do.
class GsmPass {
 public:
  AudioBlock operator()(const AudioBlock& in) {
    std::vector<uint8_t> frames(kVoiceBytes);
    uint32_t count = kBlockSamples;
    encoder_->Encode(in, count, frames);
    AudioBlock out{};
    decoder_->Decode(frames, out, count);
    return out;
  }

 private:
  std::unique_ptr<GsmCodec> encoder_ = CreateCodec();
  std::unique_ptr<GsmCodec> decoder_ = CreateCodec();
};

// A raw peer's own GSM states for what it sends and what it hears.
struct Talker {
  RawPeer socket;
  std::unique_ptr<GsmCodec> encoder = CreateCodec();
  std::unique_ptr<GsmCodec> decoder = CreateCodec();
  uint32_t sequence = 1;

  void Say(const AudioBlock& block, const SockAddr& to) {
    Message voice(kMixerVoiceBuffer);
    voice.SetType(MSG_VOICE);
    encoder->EncodePacket(block, voice);
    AppendSequenceTrailer(voice, sequence++);
    socket.Send(voice, to);
  }
  // The next voice datagram decoded, with its sequence number.
  std::optional<std::pair<AudioBlock, uint32_t>> Hear(int timeoutMs = 3000) {
    auto dg = socket.ReceiveType(MSG_VOICE, timeoutMs);
    if (!dg) return std::nullopt;
    const auto view = ValidateDatagram(dg->bytes);
    if (!view) return std::nullopt;
    AudioBlock block{};
    uint32_t samples = 0;
    decoder->DecodePacket(*view, block, samples);
    return std::make_pair(block, ReadSequenceTrailer(*view).sequence);
  }
  // Nothing but control traffic arrives for a while.
  bool HearsNoVoice(int ms) {
    while (auto dg = socket.Receive(ms)) {
      if (dg->Type() == MSG_VOICE) return false;
    }
    return true;
  }
};

std::vector<int16_t> Samples(const AudioBlock& block) { return {block.begin(), block.end()}; }

TEST(VoicePath, BridgeGivesEachPeerTheOthersAndPlaysAndRecordsTheRemoteVoice) {
  ScratchDir dir;
  // No microphone: the bridge's own voice stays out of the mix.
  TestEngine a("a", FastConfig(SplitBackend(nullptr, FileSound("", dir.File("a.wav")))));
  a.Engine().SetRecording(true);
  Talker b;
  Talker c;
  Join(b.socket, a, 0);
  Join(c.socket, a, 1);
  EXPECT_TRUE(a.WaitFor(EV_CAPTURE_OPEN_FAILED));

  // Only B talks: A and C hear B, B hears nothing.
  GsmPass bToA;
  GsmPass aToC;
  std::vector<std::vector<int16_t>> heardByA;
  for (int k = 0; k < 5; ++k) {
    b.Say(Tone(k), a.Address());
    const AudioBlock atA = bToA(Tone(k));
    heardByA.push_back(Samples(atA));
    const auto heard = c.Hear();
    ASSERT_TRUE(heard.has_value()) << "block " << k;
    EXPECT_EQ(Samples(heard->first), Samples(aToC(atA))) << "block " << k;
    EXPECT_EQ(heard->second, static_cast<uint32_t>(k + 1));
  }
  EXPECT_TRUE(b.HearsNoVoice(300));

  // A plays B's blocks, and hands each to the recorder as remote voice.
  ASSERT_TRUE(WaitFor([&] { return SoundBlocks(dir.File("a.wav")).size() == 5; }, 3000));
  EXPECT_EQ(SoundBlocks(dir.File("a.wav")), heardByA);
  std::vector<std::vector<int16_t>> recorded;
  for (const RecordedBlock& r : a.Recorded()) {
    EXPECT_TRUE(r.fromRemote);
    recorded.push_back(r.samples);
  }
  EXPECT_EQ(recorded, heardByA);
  EXPECT_GE(a.Count(EV_PLAYOUT_BUFFER), 6u);  // the silence at the start, then each block
}

TEST(VoicePath, CapturedBlocksReachThePeerAndOnlyThoseSentInTurnAreRecorded) {
  ScratchDir dir;
  // Speech, eleven quiet blocks (ten still go out, the eleventh is held
  // back), speech again; then the file ends in silence.
  std::vector<AudioBlock> played = {Tone(0)};
  for (int i = 1; i <= 11; ++i) played.push_back(Hush(i));
  played.push_back(Tone(12));
  {
    WavWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(dir.File("mic.wav"), kVoiceSampleRate, 1, false, &error)) << error;
    for (const AudioBlock& block : played) ASSERT_TRUE(writer.WriteFrames(block));
  }
  TestEngine a("a", FastConfig(FileSound(dir.File("mic.wav"))));
  a.Engine().SetRecording(true);
  Talker b;
  Join(b.socket, a);

  // What goes out: all but the held block in turn, the held one just ahead
  // of the speech that follows it.
  const std::vector<AudioBlock> sent = played;
  GsmPass captureToBridge;
  GsmPass bridgeToB;
  for (size_t k = 0; k < sent.size(); ++k) {
    const auto heard = b.Hear();
    ASSERT_TRUE(heard.has_value()) << "block " << k;
    EXPECT_EQ(Samples(heard->first), Samples(bridgeToB(captureToBridge(sent[k])))) << "block " << k;
    EXPECT_EQ(heard->second, k + 1);
  }
  std::vector<std::vector<int16_t>> local;
  for (const RecordedBlock& r : a.Recorded()) {
    if (!r.fromRemote) local.push_back(r.samples);
  }
  ASSERT_GE(local.size(), 12u);
  for (size_t k = 0; k < 12; ++k) {
    const AudioBlock& expected = k < 11 ? played[k] : played[12];
    EXPECT_EQ(local[k], Samples(expected)) << "recorded block " << k;
  }
  EXPECT_GE(a.Count(EV_CAPTURE_BUFFER), 12u);
}

TEST(VoicePath, FullJitterQueueDropsTheSixthBlockRoundTripsTellTheQueue) {
  // The devices' clock never moves: nothing is captured and the mixer,
  // paced by the playback device, never takes a block.
  FakeClock still;
  SoundBackendOptions options;
  options.kind = SoundBackendKind::kNull;
  options.clock = &still;
  TestEngine a("a", FastConfig(CreateSoundBackend(options, nullptr)));
  Talker b;
  Connection* peer = Join(b.socket, a);
  for (int k = 0; k < 6; ++k) b.Say(Tone(k), a.Address());
  ASSERT_TRUE(WaitFor([&] {
    ReadGuard guard(a.Engine().PeerGuard());
    return peer->VoiceBlocksReceived() == 6;
  }));
  // An echo nobody asked for tells nothing; the echo of our ping does.
  Message forged = BuildPing(GetTickCount(), 77);
  forged.SetType(MSG_I_AM_HERE);
  b.socket.Send(forged, a.Address());
  ASSERT_TRUE(a.Engine().SendKeepAlive());
  ASSERT_TRUE(EchoPing(b.socket, a.Address()));
  ASSERT_TRUE(a.WaitFor(EV_ROUND_TRIP));
  ASSERT_EQ(a.Count(EV_ROUND_TRIP), 1u);
  const SeenEvent trip = a.Seen(EV_ROUND_TRIP)[0];
  EXPECT_EQ(trip.owner, peer);
  EXPECT_NE(trip.value, 77u);
  EXPECT_EQ(trip.queued, 5u);

  const std::vector<PeerReport> reports = a.Engine().PeerReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].userName, "raw");
  EXPECT_EQ(reports[0].blocksReceived, 6u);
  EXPECT_EQ(reports[0].blocksDropped, 1u);
  EXPECT_EQ(reports[0].blocksSent, 0u);
  EXPECT_TRUE(reports[0].lastRoundTripMs.has_value());
}

TEST(VoicePath, WithoutSoundDevicesTheBridgeStillMixesForItsPeers) {
  TestEngine a("a", FastConfig(SplitBackend(nullptr, nullptr)));
  Talker b;
  Talker c;
  Join(b.socket, a, 0);
  Join(c.socket, a, 1);
  EXPECT_TRUE(a.WaitFor(EV_CAPTURE_OPEN_FAILED));
  EXPECT_TRUE(a.WaitFor(EV_PLAYOUT_OPEN_FAILED));
  for (int k = 0; k < 3; ++k) {
    c.Say(Tone(k, 700), a.Address());
    const auto heard = b.Hear();
    ASSERT_TRUE(heard.has_value()) << "block " << k;
    EXPECT_EQ(heard->second, static_cast<uint32_t>(k + 1));
  }
  // The counter moves on just after the send.
  EXPECT_TRUE(WaitFor([&] { return a.Engine().PeerReports()[0].blocksSent == 3; }));
  const std::vector<PeerReport> reports = a.Engine().PeerReports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].blocksReceived, 3u);
  EXPECT_EQ(a.Count(EV_PLAYOUT_BUFFER), 0u);
}

}  // namespace
}  // namespace dialvo::test
