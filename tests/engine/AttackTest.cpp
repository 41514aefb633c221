// An attacker on other loopback addresses (127.0.0.2 and up, and other ports
// of 127.0.0.1) against two real engines in a call, alice calling bob: each
// attack is replayed, and the call must go on untouched (voice both ways,
// nothing injected played, nobody gone) and real callers must still get
// through. Every test prints what the attack achieved.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "audio/GsmCodec.h"
#include "base/Swmrg.h"
#include "engine/Connection.h"
#include "engine/MasterServer.h"
#include "engine/SessionId.h"
#include "tests/engine/EngineHarness.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/Wait.h"
#include "tests/support/WavMaker.h"

namespace dialvo::test {
namespace {

using namespace wire;

// Honest voice stays well below this; the attacker's is at full scale.
constexpr int kLoud = 20000;
constexpr uint32_t kDecisionLimitMs = 400;

// Short waits for everything an attacker can hold up.
EngineConfig AttackConfig(std::shared_ptr<SoundBackend> sound) {
  EngineConfig config = FastConfig(std::move(sound));
  config.returnRouteLimitMs = 600;
  config.returnRoutePingMs = 100;
  config.decisionLimitMs = kDecisionLimitMs;
  return config;
}

// A party's microphone: a looped tone of its own; what it plays is discarded.
std::shared_ptr<SoundBackend> ToneSound(const std::string& path, double hz) {
  return FileSound(PartyTone(path, hz, 0.2), "", true);
}

// Full-scale voice, as an attacker would inject it.
Message LoudVoice(uint32_t sequence) {
  const std::unique_ptr<GsmCodec> encoder = CreateCodec();  // decodes loud from any state
  AudioBlock block{};
  for (size_t i = 0; i < block.size(); ++i) block[i] = (i / 8) % 2 == 0 ? 32000 : -32000;
  Message voice(kMixerVoiceBuffer);
  voice.SetType(MSG_VOICE);
  encoder->EncodePacket(block, voice);
  AppendSequenceTrailer(voice, sequence);
  return voice;
}

uint16_t Checksum(const uint8_t* p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  if (n % 2 != 0) sum += static_cast<uint32_t>(p[n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// An ICMP port-unreachable, as if a datagram from -> to had been refused;
// false when raw sockets are not allowed here.
bool ForgePortUnreachable(const SockAddr& from, const SockAddr& to) {
  const int raw = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (raw < 0) return false;
  uint8_t packet[8 + 20 + 8] = {3, 3};  // destination unreachable, port
  uint8_t* ip = packet + 8;
  ip[0] = 0x45;
  StoreU16(ip + 2, htons(20 + 8 + 13));
  ip[8] = 64;
  ip[9] = IPPROTO_UDP;
  const uint32_t src = htonl(from.ip);
  const uint32_t dst = htonl(to.ip);
  std::memcpy(ip + 12, &src, 4);
  std::memcpy(ip + 16, &dst, 4);
  StoreU16(ip + 10, htons(Checksum(ip, 20)));
  uint8_t* udp = ip + 20;
  StoreU16(udp, htons(from.port));
  StoreU16(udp + 2, htons(to.port));
  StoreU16(udp + 4, htons(8 + 13));
  StoreU16(packet + 2, htons(Checksum(packet, sizeof packet)));
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = dst;
  const bool sent = sendto(raw, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&target),
                           sizeof target) == static_cast<ssize_t>(sizeof packet);
  close(raw);
  return sent;
}

// The bytes that reach the socket until it has been quiet for quietMs, or
// for at most limitMs.
size_t Drain(RawPeer& peer, int quietMs, int limitMs = 3000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  size_t bytes = 0;
  while (std::chrono::steady_clock::now() < end) {
    auto dg = peer.Receive(quietMs);
    if (!dg) break;
    bytes += dg->bytes.size();
  }
  return bytes;
}

// Alice has called bob; both talk.
class LiveCall {
 public:
  LiveCall()
      : alice_("alice", AttackConfig(ToneSound(dir_.File("a.wav"), 500))),
        bob_("bob", AttackConfig(ToneSound(dir_.File("b.wav"), 700))) {
    alice_.Engine().SetRecording(true);
    bob_.Engine().SetRecording(true);
    toBob_ = alice_.Call(bob_.Port());
    EXPECT_NE(toBob_, nullptr);
    EXPECT_TRUE(bob_.WaitFor(EV_PEER_JOINED));
    if (!bob_.Seen(EV_PEER_JOINED).empty()) toAlice_ = bob_.Seen(EV_PEER_JOINED)[0].connection;
    EXPECT_TRUE(VoiceFlowsBothWays());
  }

  TestEngine& Alice() { return alice_; }
  TestEngine& Bob() { return bob_; }
  // Alice's socket for this call, which bob speaks to.
  SockAddr AliceSocket() {
    ReadGuard guard(alice_.Engine().PeerGuard());
    sockaddr_in self{};
    socklen_t n = sizeof self;
    getsockname(toBob_->SocketFd(), reinterpret_cast<sockaddr*>(&self), &n);
    return SockAddr::Loopback(ntohs(self.sin_port));
  }
  // Bob's socket for this call, connected to his listening port.
  SockAddr BobSocket() {
    ReadGuard guard(bob_.Engine().PeerGuard());
    return toAlice_->LocalName();
  }

  uint32_t Received(TestEngine& e) {
    const auto reports = e.Engine().PeerReports();
    return reports.empty() ? 0 : reports[0].blocksReceived;
  }
  // Both hear the other's next blocks.
  bool VoiceFlowsBothWays() {
    const uint32_t a = Received(alice_);
    const uint32_t b = Received(bob_);
    return WaitFor([&] { return Received(alice_) >= a + 3 && Received(bob_) >= b + 3; }, 4000);
  }
  // Blocks played to the party so far; with loud, those louder than anybody
  // speaks.
  size_t Played(TestEngine& e, bool loud = false) {
    size_t n = 0;
    const auto above = [](int16_t x) { return std::abs(x) > kLoud; };
    for (const RecordedBlock& r : e.Recorded()) {
      if (r.fromRemote && (!loud || std::ranges::any_of(r.samples, above))) ++n;
    }
    return n;
  }
  // The call goes on: both in it, nobody left, and of the blocks played
  // after the attack (what was queued during it included) none was loud.
  // Returns the blocks each heard from the other meanwhile.
  std::pair<uint32_t, uint32_t> ExpectUntouched() {
    const size_t a = Played(alice_);
    const size_t b = Played(bob_);
    const uint32_t heardA = Received(alice_);
    const uint32_t heardB = Received(bob_);
    EXPECT_TRUE(WaitFor([&] { return Played(alice_) >= a + 8 && Played(bob_) >= b + 8; }, 5000));
    const std::pair<uint32_t, uint32_t> heard{Received(alice_) - heardA, Received(bob_) - heardB};
    EXPECT_GE(heard.first, 5u);
    EXPECT_GE(heard.second, 5u);
    EXPECT_EQ(alice_.PeerCount(), 1u);
    EXPECT_EQ(bob_.PeerCount(), 1u);
    for (TestEngine* e : {&alice_, &bob_}) {
      EXPECT_EQ(e->Count(EV_PEER_LEFT), 0u);
      EXPECT_EQ(e->Count(EV_CALL_ENDED), 0u);
      EXPECT_EQ(Played(*e, true), 0u);
    }
    return heard;
  }

 private:
  ScratchDir dir_;
  TestEngine alice_;
  TestEngine bob_;
  Connection* toBob_ = nullptr;
  Connection* toAlice_ = nullptr;
};

TEST(Attack, StrangersCannotSpeakHangUpJoinOrForgeRoundTripsInARunningCall) {
  LiveCall call;
  const SockAddr target = call.AliceSocket();
  RawPeer elsewhere(2);
  RawPeer otherPort;  // bob's IP address, another port
  // Voice a little ahead of bob's own, played if it were taken.
  for (uint32_t k = 1; k <= 10; ++k) elsewhere.Send(LoudVoice(500 + k), target);
  const auto afterVoice = call.ExpectUntouched();
  const size_t loud = call.Played(call.Alice(), true);
  // A jump to the end of the sequence numbers, then hang-ups.
  elsewhere.Send(LoudVoice(0xFFFFFFFFu), target);
  otherPort.Send(LoudVoice(0xFFFFFFFFu), target);
  for (RawPeer* p : {&elsewhere, &otherPort}) p->Send(BuildControl(MSG_HANGUP), target);
  const auto afterHangup = call.ExpectUntouched();
  const uint32_t lost = call.Alice().Engine().PeerReports().at(0).blocksLost;
  std::printf(
      "[attack 1] 10 loud voice datagrams from 127.0.0.2: %zu loud blocks played, alice "
      "then heard %u blocks of bob; sequence 0xFFFFFFFF and hang-ups from strangers: "
      "lost=%u, %zu peers left, alice then heard %u blocks\n",
      loud, afterVoice.first, lost, call.Alice().Count(EV_PEER_LEFT), afterHangup.first);
  EXPECT_LT(lost, 10u);

  // Only the engine itself speaks into its local loop.
  const SockAddr loop = call.Alice().Engine().LocalVoiceAddress();
  RawPeer local;  // another process on this PC
  for (uint32_t k = 1; k <= 10; ++k) {
    local.Send(LoudVoice(100000 + k), loop);
    elsewhere.Send(LoudVoice(100000 + k), loop);
  }
  const auto heard = call.ExpectUntouched();
  std::printf(
      "[attack 8] 20 loud voice datagrams into alice's local loop: loud blocks bob "
      "played %zu, bob then heard %u blocks of alice\n",
      call.Played(call.Bob(), true), heard.second);

  // A running call lets in only who knows its session, whatever version.
  RawPeer stranger(2);
  stranger.Send(BuildControl(MSG_CONNECT_REQUEST), call.Bob().Address());  // 13 bytes
  RawPeer old(2);
  old.Send(Request("old", "", "", 4), call.Bob().Address());
  RawPeer other(3);
  other.Send(Request("empty"), call.Bob().Address());
  RawPeer guesser(4);
  guesser.Send(Request("guess", NewSessionId()), call.Bob().Address());
  size_t answered = 0;
  for (RawPeer* p : {&stranger, &old, &other, &guesser}) {
    while (auto dg = p->Receive(150)) {
      EXPECT_EQ(dg->Type(), MSG_SESSION_INACCESSIBLE);
      answered += dg->bytes.size();
    }
  }
  call.ExpectUntouched();
  EXPECT_EQ(call.Bob().Count(EV_CONFERENCE_REQUEST), 0u);
  std::printf(
      "[attack 2] strangers asking to join a running call (13-byte, version 4, empty "
      "and guessed session): %zu answer bytes, joined %zu\n",
      answered, call.Bob().PeerCount() - 1);

  // Nor does a stranger's echo count as a round trip.
  Message echo = BuildPing(1, 7);
  echo.SetType(MSG_I_AM_HERE);
  for (int i = 0; i < 5000; ++i) {
    stranger.Send(echo, call.Bob().Address());
    stranger.Send(echo, call.AliceSocket());
  }
  call.ExpectUntouched();
  const size_t forged = call.Alice().Count(EV_ROUND_TRIP) + call.Bob().Count(EV_ROUND_TRIP);
  std::printf("[attack 6] 10000 unsolicited echoes: %zu round-trip events\n", forged);
  EXPECT_EQ(forged, 0u);
  // Our own pings still come back.
  ASSERT_TRUE(call.Bob().Engine().SendPing(42, call.Alice().Address()));
  ASSERT_TRUE(call.Bob().WaitFor(EV_ROUND_TRIP));
  EXPECT_EQ(call.Bob().Seen(EV_ROUND_TRIP)[0].value, 42u);
  ASSERT_TRUE(call.Alice().Engine().SendKeepAlive());
  EXPECT_TRUE(call.Alice().WaitFor(EV_ROUND_TRIP));
}

TEST(Attack, AnAutoAnsweringEngineIsNoAmplifier) {
  // An idle, auto-answering engine and a request in the name of an address
  // that never answers: the handshake and no more, and the place is free.
  const Message bare = BuildControl(MSG_CONNECT_REQUEST);  // a 13-byte request
  ScratchDir dir;
  TestEngine carol("carol", AttackConfig(ToneSound(dir.File("c.wav"), 900)));
  RawPeer victim(5);
  victim.Send(bare, carol.Address());
  const size_t drawn = Drain(victim, 400);
  // Asking again in the same address's name draws nothing for a long time.
  size_t again = 0;
  for (int i = 0; i < 10; ++i) {
    RawPeer more(5);
    more.Send(bare, carol.Address());
    again += Drain(more, 30);
  }
  std::printf(
      "[attack 2] one spoofed 13-byte request to an auto-answering engine: %zu bytes "
      "to the victim in all, caller joined %zu; ten more requests: %zu bytes\n",
      drawn, carol.Count(EV_PEER_JOINED), again);
  EXPECT_LE(drawn, 2000u);
  EXPECT_EQ(again, 0u);
  EXPECT_EQ(carol.Count(EV_PEER_JOINED), 0u);
  EXPECT_FALSE(carol.Engine().IsActive());
  // A real caller gets in afterwards.
  TestEngine dave("dave", AttackConfig(ToneSound(dir.File("d.wav"), 300)));
  EXPECT_NE(dave.Call(carol.Port()), nullptr);
}

TEST(Attack, PendingSlotsCannotBeHeldAndFakePeersDoNotStay) {
  ScratchDir dir;
  TestEngine bob("bob", AttackConfig(ToneSound(dir.File("b.wav"), 700)));
  bob.SetAnswer(TestEngine::Answer::kHold);
  // Requests nobody decides, from sixteen addresses, and a flood from one.
  std::vector<std::unique_ptr<RawPeer>> holders;
  for (int i = 0; i < static_cast<int>(kMaxPendingRequests); ++i) {
    holders.push_back(std::make_unique<RawPeer>(10 + i));
    holders.back()->Send(Request("holder"), bob.Address());
  }
  ASSERT_TRUE(bob.WaitFor(EV_INCOMING_CALL, kMaxPendingRequests));
  // Each is turned away once its time is up; then real callers ring.
  size_t turnedAway = 0;
  for (auto& h : holders) {
    turnedAway += h->ReceiveType(MSG_REJECT, turnedAway == 0 ? 2000 : 300).has_value() ? 1 : 0;
  }
  EXPECT_EQ(turnedAway, kMaxPendingRequests);
  bob.SetAnswer(TestEngine::Answer::kAccept);
  EngineConfig quick = AttackConfig(ToneSound(dir.File("a.wav"), 500));
  quick.handshakeWaitMs = 200;
  {
    TestEngine alice("alice", quick);
    const auto started = std::chrono::steady_clock::now();
    const bool through = alice.Call(bob.Port()) != nullptr;
    EXPECT_TRUE(through);
    std::printf(
        "[attack 3] 16 undecided requests: %zu turned away after %u ms; a real caller "
        "%s after %lld ms\n",
        turnedAway, kDecisionLimitMs, through ? "got through" : "failed",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - started)
                                   .count()));
  }

  // A flood of requests from one address, from ever new ports, holds no
  // more than its share: a real caller hears ringing at once.
  TestEngine carol("carol", AttackConfig(ToneSound(dir.File("c.wav"), 900)));
  carol.SetAnswer(TestEngine::Answer::kHold);
  std::vector<std::unique_ptr<RawPeer>> flood;
  for (int i = 0; i < 200; ++i) {
    flood.push_back(std::make_unique<RawPeer>(2));
    flood.back()->SendBytes(BuildControl(MSG_CONNECT_REQUEST).Bytes(), carol.Address());
  }
  RawPeer real(3);
  real.Send(Request("real"), carol.Address());
  EXPECT_TRUE(real.ReceiveType(MSG_RINGING, 1000).has_value());
  ASSERT_TRUE(WaitFor([&] { return carol.Count(EV_INCOMING_CALL) >= kMaxPendingPerSource + 1; }));
  std::printf("[attack 3] 200 requests from one address: %zu asked the user, a real caller rang\n",
              carol.Count(EV_INCOMING_CALL));
  EXPECT_EQ(carol.Count(EV_INCOMING_CALL), kMaxPendingPerSource + 1);
  carol.DecideHeld(IncomingRequest::kReject);

  // Auto-answered requests in the names of six silent addresses never
  // fill the conference: a real caller gets in, not BUSY.
  TestEngine dave("dave", AttackConfig(ToneSound(dir.File("d.wav"), 300)));
  std::vector<std::unique_ptr<RawPeer>> fakes;
  for (int i = 0; i + 1 < static_cast<int>(kMaxPeers); ++i) {
    fakes.push_back(std::make_unique<RawPeer>(20 + i));
    fakes.back()->Send(Request("fake"), dave.Address());
  }
  ASSERT_TRUE(dave.WaitFor(EV_INCOMING_CALL, kMaxPeers - 1));
  // They are dropped once their time to answer is up (600 ms here).
  std::this_thread::sleep_for(std::chrono::milliseconds(900));
  const size_t fakesJoined = dave.Count(EV_PEER_JOINED);
  {
    TestEngine erin("erin", quick);
    const bool through = erin.Call(dave.Port()) != nullptr;
    EXPECT_TRUE(through);
    EXPECT_EQ(erin.Count(EV_REMOTE_BUSY), 0u);
    std::printf(
        "[attack 3] 6 auto-answered fake callers: %zu joined, a real caller %s (%zu "
        "busy answers)\n",
        fakesJoined, through ? "got in" : "failed", erin.Count(EV_REMOTE_BUSY));
  }
  EXPECT_EQ(fakesJoined, 0u);
}

TEST(Attack, ForgedPortUnreachableDoesNotEndTheCall) {
  LiveCall call;
  // As if bob's relayed datagrams had been refused: the kernel reports the
  // error on bob's connected socket.
  if (!ForgePortUnreachable(call.BobSocket(), call.Bob().Address())) {
    GTEST_SKIP() << "raw sockets are not allowed here";
  }
  const auto heard = call.ExpectUntouched();
  std::printf(
      "[attack 4] forged ICMP port unreachable on bob's call socket: peers left %zu, "
      "bob then heard %u blocks of alice\n",
      call.Bob().Count(EV_PEER_LEFT), heard.second);
}

TEST(Attack, UnsolicitedRequestsDrawAtMostTwiceTheirBytes) {
  ScratchDir dir;
  TestEngine bob("bob", AttackConfig(ToneSound(dir.File("b.wav"), 700)));
  bob.SetAnswer(TestEngine::Answer::kReject);
  Message shortPing = BuildPing(1, 2);
  shortPing.SetPayloadLength(8);
  Message echo = BuildPing(1, 2);
  echo.SetType(MSG_I_AM_HERE);
  struct Kind {
    const char* name;
    Message message;
    bool newPort;  // each request from a new port, as a fresh caller
  };
  const Kind kinds[] = {{"WHO_RU", BuildControl(MSG_WHO_RU), false},
                        {"CONNECT_REQUEST 13", BuildControl(MSG_CONNECT_REQUEST), true},
                        {"CONNECT_REQUEST 285", Request("again"), true},
                        {"R_U_THERE 21", shortPing, false},
                        {"I_AM_HERE", echo, false},
                        {"HANGUP", BuildControl(MSG_HANGUP), false},
                        {"VOICE", LoudVoice(1), false}};
  // Each kind from an address of its own, all at once; then every dialogue
  // is given time to end.
  std::vector<std::vector<std::unique_ptr<RawPeer>>> sockets(std::size(kinds));
  std::vector<size_t> sent(std::size(kinds), 0);
  for (size_t k = 0; k < std::size(kinds); ++k) {
    const int host = 30 + static_cast<int>(k);
    for (int i = 0; i < 20; ++i) {
      if (sockets[k].empty() || kinds[k].newPort) {
        sockets[k].push_back(std::make_unique<RawPeer>(host));
      }
      sockets[k].back()->Send(kinds[k].message, bob.Address());
      sent[k] += kinds[k].message.Bytes().size();
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  for (size_t k = 0; k < std::size(kinds); ++k) {
    size_t drawn = 0;
    for (auto& s : sockets[k]) drawn += Drain(*s, 10);
    std::printf("[attack 5] 20 x %s from one address: %zu bytes in, %zu out (%.2fx)\n",
                kinds[k].name, sent[k], drawn,
                static_cast<double>(drawn) / static_cast<double>(sent[k]));
    EXPECT_LE(drawn, 2 * sent[k]) << kinds[k].name;
  }
  EXPECT_EQ(bob.Count(EV_ROUND_TRIP), 0u);
}

TEST(Attack, SessionTextFromTheNetworkIsNeverTaken) {
  ScratchDir dir;
  TestEngine bob("bob", AttackConfig(ToneSound(dir.File("b.wav"), 700)));
  // A request offering such a session is refused (RawPeer tests); an
  // old-version request carries junk where the session would be: it is not
  // read, and the accept names a session of bob's own.
  Message old = Request("old", "", "", 4);
  WriteTextField(old.Payload() + 144, kTextField, "../../../tmp/x\x1b[31m\xe2\x80\xae");
  RawPeer oldCaller(3);
  oldCaller.Send(old, bob.Address());
  auto accept = oldCaller.ReceiveType(MSG_ACCEPT);
  ASSERT_TRUE(accept.has_value());
  const std::string offered = ReadTextField(accept->bytes.data() + 13 + 144, kTextField);
  EXPECT_TRUE(IsValidSessionId(offered)) << offered;
  EXPECT_TRUE(IsValidSessionId(bob.Engine().GetSessionId()));
  std::printf(
      "[attack 7] session '../../../tmp/x' with escape codes: not taken; bob's session %s\n",
      bob.Engine().GetSessionId().c_str());
}

}  // namespace
}  // namespace dialvo::test
