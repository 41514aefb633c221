// A peer written by hand on a raw UDP socket checks what the engine sends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "engine/Connection.h"
#include "engine/MasterServer.h"
#include "engine/SessionId.h"
#include "tests/engine/EngineHarness.h"
#include "tests/support/FakeClock.h"
#include "tests/support/Wait.h"

namespace dialvo::test {
namespace {

using namespace wire;
using ::testing::ElementsAre;

std::string Text(const RawPeer::Datagram& dg, size_t offset) {
  return ReadTextField(dg.bytes.data() + offset, kTextField);
}

TEST(RawPeer, CalleeRingsAcceptsFiveTimesAndRelaysThroughTheListeningPort) {
  // While the test holds the gate, the engine's voice receive loop stops at
  // the end of its round, so that what the test sends meanwhile is all
  // waiting for the next one; `most` keeps the most voice blocks one round
  // took in.
  std::mutex gate;
  std::atomic<int> rounds{0};
  std::atomic<int> most{0};
  EngineConfig config = FastConfig();
  config.afterReceiveRound = [&](int decoded) {
    if (decoded > most) most = decoded;
    ++rounds;
    const std::lock_guard wait(gate);
  };
  TestEngine bob("bob", config);
  RawPeer caller;
  caller.Send(Request("raw"), bob.Address());
  auto ringing = caller.Receive();
  ASSERT_TRUE(ringing.has_value());
  EXPECT_THAT(ringing->bytes, ElementsAre(0x5A, 0x51, 0x57, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0));
  EXPECT_EQ(ringing->from, bob.Address());

  std::vector<RawPeer::Datagram> accepts;
  for (int i = 0; i < 5; ++i) {
    auto accept = caller.Receive();
    ASSERT_TRUE(accept.has_value());
    ASSERT_EQ(accept->bytes.size(), 285u);
    EXPECT_EQ(accept->Type(), MSG_ACCEPT);
    EXPECT_EQ(accept->from, bob.Address());
    accepts.push_back(*accept);
  }
  EXPECT_GE(accepts[4].atMs - accepts[0].atMs, 4 * 15);  // about 20 ms apart
  EXPECT_EQ(Text(accepts[0], 13), "bob");
  EXPECT_EQ(LoadU32(&accepts[0].bytes[13 + 64]), 5u);
  EXPECT_EQ(Text(accepts[0], 13 + 144), bob.Engine().GetSessionId());
  EXPECT_EQ(Text(accepts[0], 13 + 144).size(), 36u);
  // Right after its accepts the callee checks that the caller receives at
  // its address: a ping with a cookie of its own, which the caller echoes.
  auto check = caller.Receive();
  ASSERT_TRUE(check.has_value());
  EXPECT_EQ(check->Type(), MSG_R_U_THERE);
  EXPECT_EQ(check->from, bob.Address());
  EXPECT_NE(LoadU32(&check->bytes[17]), 0u);
  EXPECT_TRUE(caller.Quiet(100));
  caller.Send(*BuildEcho(*ParseDatagram(check->bytes)), bob.Address());

  ASSERT_TRUE(bob.WaitFor(EV_PEER_JOINED));
  EXPECT_EQ(bob.Seen(EV_PEER_JOINED)[0].name, "raw");
  const auto report = [&] { return bob.Engine().PeerReports().at(0); };

  // A ping from the caller reaches the connection and is answered through
  // the listening port.
  caller.Send(BuildPing(1000, 7), bob.Address());
  auto echo = caller.ReceiveType(MSG_I_AM_HERE);
  ASSERT_TRUE(echo.has_value());
  EXPECT_EQ(echo->from, bob.Address());
  EXPECT_THAT(std::vector<uint8_t>(echo->bytes.begin() + 9, echo->bytes.end()),
              ElementsAre(12, 0, 0, 0, 0xE8, 3, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0));
  ASSERT_TRUE(bob.WaitFor(EV_BYTES_RECEIVED));
  EXPECT_EQ(bob.Seen(EV_BYTES_RECEIVED)[0].value, 25u);

  // The keep-alive goes to every connected peer.
  EXPECT_TRUE(bob.Engine().SendKeepAlive());
  auto keepAlive = caller.ReceiveType(MSG_R_U_THERE);
  ASSERT_TRUE(keepAlive.has_value());
  EXPECT_EQ(keepAlive->bytes.size(), 25u);
  EXPECT_NE(LoadU32(&keepAlive->bytes[17]), LoadU32(&check->bytes[17]));  // a fresh cookie

  // Voice, all waiting at once: a gap is reported and counts the numbers
  // skipped, a duplicate and a late datagram are dropped, and each round
  // takes one block from the peer.
  {
    const std::lock_guard hold(gate);
    const int before = rounds;
    caller.Send(BuildPing(1001, 8), bob.Address());  // ends a round
    ASSERT_TRUE(WaitFor([&] { return rounds > before; }));
    for (uint32_t seq : {1u, 2u, 2u, 5u, 4u, 6u}) caller.Send(Voice(seq), bob.Address());
    most = 0;
  }
  ASSERT_TRUE(WaitFor([&] { return report().blocksReceived >= 4; }));
  // The answer to a later ping comes after every datagram before it was read.
  caller.Send(BuildPing(1002, 9), bob.Address());
  for (;;) {
    auto answer = caller.ReceiveType(MSG_I_AM_HERE);
    ASSERT_TRUE(answer.has_value());
    if (LoadU32(&answer->bytes[17]) == 9) break;
  }
  EXPECT_EQ(report().blocksReceived, 4u);
  EXPECT_EQ(report().blocksLost, 2u);
  EXPECT_EQ(most, 1);
  ASSERT_TRUE(bob.WaitFor(EV_PACKET_GAP));
  EXPECT_EQ(bob.Seen(EV_PACKET_GAP)[0].value, 3u);
  EXPECT_EQ(bob.Count(EV_PACKET_GAP), 1u);

  caller.Send(BuildControl(MSG_HANGUP), bob.Address());
  ASSERT_TRUE(bob.WaitFor(EV_CALL_ENDED));
  EXPECT_THAT(bob.Codes(), ElementsAre(EV_INCOMING_CALL, EV_CALL_STARTED, EV_PEER_JOINED,
                                       EV_PACKET_GAP, EV_PEER_LEFT, EV_CALL_ENDED));
  auto hangup = caller.ReceiveType(MSG_HANGUP);
  ASSERT_TRUE(hangup.has_value());
  EXPECT_EQ(hangup->bytes.size(), 13u);
}

TEST(RawPeer, CallerSendsItsIdentityAndTakesAnswersOnlyFromTheDialledAddress) {
  TestEngine alice("alice");
  RawPeer callee;
  RawPeer elsewhere(2);
  RawPeer otherPort;
  Connection* call = nullptr;
  std::thread caller([&] { call = alice.Call(callee.Address().port, "Zed", true); });
  auto request = callee.Receive();
  ASSERT_TRUE(request.has_value());
  ASSERT_EQ(request->bytes.size(), 285u);
  EXPECT_THAT(std::vector<uint8_t>(request->bytes.begin(), request->bytes.begin() + 13),
              ElementsAre(0x5A, 0x51, 0x57, 0, 1, 0, 0, 0, 0, 0x10, 1, 0, 0));
  EXPECT_EQ(Text(*request, 13), "alice");
  EXPECT_EQ(LoadU32(&request->bytes[13 + 64]), 5u);
  EXPECT_EQ(Text(*request, 13 + 144), "");  // idle: no session yet
  EXPECT_EQ(Text(*request, 13 + 208), "Zed");
  const SockAddr aliceSocket = request->from;

  callee.Send(BuildControl(MSG_RINGING), aliceSocket);
  ASSERT_TRUE(alice.WaitFor(EV_RINGING));
  // Answers from another address, or from another port of the dialled
  // address, are ignored: nine ringings (each would be one of the nine
  // waits), refusals and accepts. The callee's own accept is taken, and
  // without an identity it names the callee after the request.
  for (int k = 0; k < 9; ++k) otherPort.Send(BuildControl(MSG_RINGING), aliceSocket);
  for (RawPeer* p : {&elsewhere, &otherPort}) {
    for (const auto type : {MSG_REJECT, MSG_SESSION_INACCESSIBLE, MSG_ACCEPT}) {
      p->Send(BuildControl(type), aliceSocket);
    }
  }
  EXPECT_FALSE(WaitFor([&] { return alice.Count(EV_PEER_JOINED) > 0; }, 300));
  callee.Send(BuildControl(MSG_ACCEPT), aliceSocket);
  caller.join();
  ASSERT_NE(call, nullptr);
  ASSERT_TRUE(alice.WaitFor(EV_PEER_JOINED));
  EXPECT_EQ(alice.Count(EV_CONNECT_FAILED), 0u);
  EXPECT_EQ(alice.Count(EV_SESSION_INACCESSIBLE), 0u);
  EXPECT_EQ(alice.Seen(EV_PEER_JOINED)[0].name, "Zed");
  EXPECT_EQ(alice.Seen(EV_PEER_JOINED)[0].value, 1u);
  EXPECT_EQ(alice.Engine().GetSessionId().size(), 36u);  // made its own

  // A hang-up from another address or port is ignored; the ping behind it
  // shows it was read.
  elsewhere.Send(BuildControl(MSG_HANGUP), aliceSocket);
  otherPort.Send(BuildControl(MSG_HANGUP), aliceSocket);
  callee.Send(BuildPing(1, 2), aliceSocket);
  ASSERT_TRUE(callee.ReceiveType(MSG_I_AM_HERE).has_value());
  EXPECT_EQ(alice.PeerCount(), 1u);
  callee.Send(BuildControl(MSG_HANGUP), aliceSocket);
  ASSERT_TRUE(alice.WaitFor(EV_CALL_ENDED));
  EXPECT_EQ(alice.PeerCount(), 0u);
}

// The session a caller ends up with when the callee's accept offers this one.
std::string SessionAfterAccept(const std::string& offered) {
  TestEngine alice("alice");
  RawPeer callee;
  Connection* call = nullptr;
  std::thread caller([&] { call = alice.Call(callee.Address().port); });
  auto request = callee.ReceiveType(MSG_CONNECT_REQUEST);
  CallIdentity zed;
  zed.userName = "zed";
  zed.sessionId = offered;
  if (request) callee.Send(BuildCallIdentity(MSG_ACCEPT, zed), request->from);
  caller.join();
  EXPECT_NE(call, nullptr);
  return alice.Engine().GetSessionId();
}

TEST(RawPeer, SessionsOfferedByPeersAreTakenOnlyAsGuidText) {
  const std::string upper = "3F0C2A9E-5B1D-4C55-9A51-0D6F3C1B2E77";
  const std::string path = "3f0c2a9e-5b1d-4c55-9a51-/../../x.wav";

  // A caller offering anything else is turned away before the user is asked.
  TestEngine bob("bob");
  const std::string evil = "../../../tmp/x\x1b[31m\xe2\x80\xae";  // with escape codes
  for (const std::string& bad : {path, evil, std::string("not-a-session")}) {
    RawPeer caller;
    caller.Send(Request("raw", bad), bob.Address());
    auto answer = caller.Receive();
    ASSERT_TRUE(answer.has_value()) << bad;
    EXPECT_EQ(answer->Type(), MSG_SESSION_INACCESSIBLE) << bad;
    EXPECT_EQ(answer->bytes.size(), 13u);
    EXPECT_TRUE(caller.Quiet(50)) << bad;
  }
  EXPECT_EQ(bob.Count(EV_INCOMING_CALL), 0u);
  EXPECT_TRUE(bob.Engine().GetSessionId().empty());
  // A GUID in capitals is a session like any other, kept as written.
  RawPeer caller;
  caller.Send(Request("raw", upper), bob.Address());
  auto accept = caller.ReceiveType(MSG_ACCEPT);
  ASSERT_TRUE(accept.has_value());
  EXPECT_EQ(Text(*accept, 13 + 144), upper);
  EXPECT_EQ(bob.Engine().GetSessionId(), upper);

  // A callee's accept offering anything else leaves the caller with a
  // session of its own.
  const std::string fresh = SessionAfterAccept(path);
  EXPECT_NE(fresh, path);
  EXPECT_TRUE(IsValidSessionId(fresh)) << fresh;
  EXPECT_EQ(SessionAfterAccept(upper), upper);
}

TEST(RawPeer, CallerGivesUpAfterThreeUnansweredRequestsAndWhenToldBusy) {
  EngineConfig fast = FastConfig();
  fast.handshakeWaitMs = 100;
  TestEngine alice("alice", fast);
  RawPeer silent;
  EXPECT_EQ(alice.Call(silent.Address().port), nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(silent.ReceiveType(MSG_CONNECT_REQUEST, 100)) << i;
  EXPECT_TRUE(silent.Quiet(200));
  ASSERT_TRUE(alice.WaitFor(EV_CONNECT_FAILED));

  // A caller told busy keeps waiting, then gives up.
  RawPeer busyCallee;
  std::thread dial([&] { EXPECT_EQ(alice.Call(busyCallee.Address().port), nullptr); });
  auto request = busyCallee.ReceiveType(MSG_CONNECT_REQUEST);
  ASSERT_TRUE(request.has_value());
  busyCallee.Send(BuildControl(MSG_BUSY), request->from);
  dial.join();
  ASSERT_TRUE(alice.WaitFor(EV_CONNECT_FAILED, 2));
  EXPECT_EQ(alice.Count(EV_REMOTE_BUSY), 1u);
}

TEST(RawPeer, RepeatedRequestIsDroppedAndPendingRequestsAreCapped) {
  TestEngine bob("bob");
  bob.SetAnswer(TestEngine::Answer::kHold);
  std::vector<std::unique_ptr<RawPeer>> callers;
  // Each from an address of its own: one address gets only a few slots.
  for (size_t i = 0; i < kMaxPendingRequests + 2; ++i) {
    callers.push_back(std::make_unique<RawPeer>(static_cast<int>(10 + i)));
  }
  callers[0]->Send(Request("first"), bob.Address());
  callers[0]->Send(Request("first"), bob.Address());
  EXPECT_TRUE(callers[0]->ReceiveType(MSG_RINGING).has_value());
  for (size_t i = 1; i < callers.size(); ++i) callers[i]->Send(Request("more"), bob.Address());
  for (size_t i = 1; i < kMaxPendingRequests; ++i) {
    EXPECT_TRUE(callers[i]->ReceiveType(MSG_RINGING).has_value()) << i;
  }
  for (size_t i = kMaxPendingRequests; i < callers.size(); ++i) EXPECT_TRUE(callers[i]->Quiet(50));
  EXPECT_TRUE(callers[0]->Quiet(50));
  ASSERT_TRUE(bob.WaitFor(EV_INCOMING_CALL, kMaxPendingRequests));
  EXPECT_EQ(bob.Count(EV_INCOMING_CALL), kMaxPendingRequests);

  bob.DecideHeld(IncomingRequest::kReject);
  const auto rejects = [&] {
    int n = 0;
    while (callers[0]->ReceiveType(MSG_REJECT, 500)) ++n;
    return n;
  };
  EXPECT_EQ(rejects(), 5);
  // Once the ended dialogues are reaped, new callers are served again.
  ASSERT_TRUE(WaitFor([&] { return bob.Engine().Server()->PendingCount() == 0; }));
  callers.back()->Send(Request("late"), bob.Address());
  EXPECT_TRUE(callers.back()->ReceiveType(MSG_RINGING).has_value());
}

TEST(RawPeer, FullConferenceAnswersBusyWithoutAskingTheUser) {
  TestEngine bob("bob");
  std::vector<std::unique_ptr<RawPeer>> callers;
  for (size_t i = 0; i + 1 < kMaxPeers; ++i) {
    callers.push_back(std::make_unique<RawPeer>());
    Join(*callers.back(), bob, i);
  }
  EXPECT_EQ(bob.PeerCount(), kMaxPeers - 1);  // and the local connection
  RawPeer extra;
  extra.Send(Request("extra", bob.Engine().GetSessionId()), bob.Address());
  auto busy = extra.Receive();
  ASSERT_TRUE(busy.has_value());
  EXPECT_EQ(busy->Type(), MSG_BUSY);
  EXPECT_EQ(busy->bytes.size(), 13u);
  EXPECT_TRUE(extra.Quiet(100));
  EXPECT_EQ(bob.Count(EV_CONFERENCE_REQUEST), kMaxPeers - 2);  // only the ones that fitted

  // Nor does the full engine call out.
  RawPeer callee;
  EXPECT_EQ(bob.Call(callee.Address().port), nullptr);
  EXPECT_TRUE(callee.Quiet(100));
  EXPECT_TRUE(bob.WaitFor(EV_CONNECT_FAILED));
}

TEST(RawPeer, SilentOrOnlyPingingPeerIsRemovedByTheLivenessScanAnsweringOneStays) {
  FakeClock clock(1000);
  EngineConfig config = FastConfig();
  config.clock = &clock;
  config.timerPeriodMs = 20;
  config.livenessIntervalMs = 40;
  TestEngine bob("bob", config);
  RawPeer caller;
  Connection* peer = Join(caller, bob);

  auto keepAlive = caller.ReceiveType(MSG_R_U_THERE);
  ASSERT_TRUE(keepAlive.has_value());
  EXPECT_EQ(LoadU32(&keepAlive->bytes[13]), 1000u);  // the engine's tick count
  clock.Advance(40000);
  // The answer to a keep-alive shows the peer is alive (the echo of a ping
  // sent after the clock moved, whose cookie is surely still outstanding).
  std::optional<RawPeer::Datagram> ping;
  while ((ping = caller.ReceiveType(MSG_R_U_THERE)) && LoadU32(&ping->bytes[13]) != 41000u) {
  }
  ASSERT_TRUE(ping.has_value());
  caller.Send(*BuildEcho(*ParseDatagram(ping->bytes)), bob.Address());
  ASSERT_TRUE(bob.WaitFor(EV_ROUND_TRIP));
  EXPECT_EQ(bob.Seen(EV_ROUND_TRIP)[0].owner, peer);
  clock.Advance(40000);
  // Some scans: every timer round sends keep-alives stamped with the clock
  // first, every second one scans.
  for (int rounds = 0; rounds < 3;) {
    auto tick = caller.ReceiveType(MSG_R_U_THERE);
    ASSERT_TRUE(tick.has_value());
    if (LoadU32(&tick->bytes[13]) == 81000u) ++rounds;
  }
  EXPECT_EQ(bob.PeerCount(), 1u);
  EXPECT_EQ(bob.Count(EV_PEER_LEFT), 0u);

  // The peer's own pings (21 bytes), neither voice nor an echo of ours, do
  // not count as a word.
  Message own = BuildPing(0, 0);
  own.SetPayloadLength(8);
  caller.Send(own, bob.Address());
  ASSERT_TRUE(caller.ReceiveType(MSG_I_AM_HERE).has_value());  // bob has read it

  clock.Advance(6000);  // 46 s without a word
  ASSERT_TRUE(bob.WaitFor(EV_CALL_ENDED));
  EXPECT_EQ(bob.Seen(EV_PEER_LEFT)[0].connection, peer);
  EXPECT_TRUE(caller.ReceiveType(MSG_HANGUP).has_value());
}

TEST(RawPeer, StrangersArePingedAndAnsweredJunkIsIgnored) {
  TestEngine bob("bob");
  RawPeer stranger;
  stranger.Send(BuildPing(1000, 7), bob.Address());
  auto echo = stranger.ReceiveType(MSG_I_AM_HERE);
  ASSERT_TRUE(echo.has_value());
  EXPECT_EQ(echo->bytes.size(), 25u);
  EXPECT_EQ(LoadU32(&echo->bytes[17]), 7u);

  stranger.Send(BuildControl(MSG_WHO_RU), bob.Address());
  auto iam = stranger.ReceiveType(MSG_I_AM);
  ASSERT_TRUE(iam.has_value());
  EXPECT_EQ(iam->bytes.size(), 149u);
  EXPECT_EQ(Text(*iam, 13), "bob");
  EXPECT_EQ(LoadU32(&iam->bytes[13 + 64]), 5u);

  // No magic, a length beyond the datagram, an oversized datagram: dropped.
  const Message request = Request("junk");
  std::vector<uint8_t> junk(request.Bytes().begin(), request.Bytes().end());
  junk[0] = 'X';
  stranger.SendBytes(junk, bob.Address());
  junk[0] = 'Z';
  stranger.SendBytes(std::span<const uint8_t>(junk).first(100), bob.Address());
  stranger.SendBytes(std::vector<uint8_t>(5000, 0), bob.Address());
  EXPECT_TRUE(stranger.Quiet(200));
  EXPECT_EQ(bob.Count(EV_INCOMING_CALL), 0u);

  ASSERT_TRUE(bob.Engine().SendPing(42, stranger.Address()));
  auto ping = stranger.ReceiveType(MSG_R_U_THERE);
  ASSERT_TRUE(ping.has_value());
  EXPECT_EQ(ping->from, bob.Address());
  stranger.Send(*BuildEcho(*ParseDatagram(ping->bytes)), bob.Address());
  ASSERT_TRUE(bob.WaitFor(EV_ROUND_TRIP));
  EXPECT_EQ(bob.Seen(EV_ROUND_TRIP)[0].value, 42u);
  EXPECT_EQ(bob.Seen(EV_ROUND_TRIP)[0].owner, bob.Engine().Server());
}

}  // namespace
}  // namespace dialvo::test
