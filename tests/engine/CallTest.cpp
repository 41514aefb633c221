// Engines calling each other on loopback, two to four in one process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "engine/Connection.h"
#include "engine/MasterServer.h"
#include "tests/engine/EngineHarness.h"
#include "tests/support/Wait.h"

namespace dialvo::test {
namespace {

using ::testing::ElementsAre;

std::vector<PeerEntry> PeersOf(TestEngine& e) {
  std::vector<PeerEntry> peers{{}};  // GetPeers clears first
  EXPECT_TRUE(e.Engine().GetPeers(peers));
  return peers;
}

TEST(EngineCall, AcceptedCallJoinsBothSidesAndCallerHangsUp) {
  TestEngine alice("alice");
  TestEngine bob("bob");
  // The expected callee is matched without regard to letter case.
  Connection* toBob = alice.Call(bob.Port(), "BOB", true);
  ASSERT_NE(toBob, nullptr);
  ASSERT_TRUE(bob.WaitFor(EV_PEER_JOINED));
  ASSERT_TRUE(alice.WaitFor(EV_PEER_JOINED));
  EXPECT_THAT(alice.Codes(), ElementsAre(EV_RINGING, EV_CALL_STARTED, EV_PEER_JOINED));
  EXPECT_THAT(bob.Codes(), ElementsAre(EV_INCOMING_CALL, EV_CALL_STARTED, EV_PEER_JOINED));
  EXPECT_EQ(bob.Seen(EV_INCOMING_CALL)[0].name, "alice");

  const SeenEvent joinedBob = alice.Seen(EV_PEER_JOINED)[0];
  EXPECT_EQ(joinedBob.name, "bob");
  EXPECT_EQ(joinedBob.connection, toBob);
  EXPECT_EQ(joinedBob.value, 5u);
  EXPECT_EQ(bob.Seen(EV_PEER_JOINED)[0].name, "alice");

  // The callee made the session and the caller took it over.
  const std::string session = alice.Engine().GetSessionId();
  EXPECT_EQ(session.size(), 36u);
  EXPECT_EQ(bob.Engine().GetSessionId(), session);
  EXPECT_TRUE(alice.Engine().IsActive());
  EXPECT_TRUE(bob.Engine().IsActive());

  const auto alicePeers = PeersOf(alice);
  ASSERT_EQ(alicePeers.size(), 1u);
  EXPECT_EQ(alicePeers[0].connection, toBob);
  EXPECT_EQ(alicePeers[0].userName, "bob");
  EXPECT_EQ(alicePeers[0].address, bob.Address());
  const auto bobPeers = PeersOf(bob);
  ASSERT_EQ(bobPeers.size(), 1u);
  EXPECT_EQ(bobPeers[0].userName, "alice");
  EXPECT_TRUE(bobPeers[0].address.IsLoopback());
  EXPECT_NE(bobPeers[0].address.port, alice.Port());  // the caller's own socket

  ASSERT_TRUE(alice.Engine().Disconnect(toBob));
  ASSERT_TRUE(bob.WaitFor(EV_CALL_ENDED));
  EXPECT_THAT(bob.Codes(), ElementsAre(EV_INCOMING_CALL, EV_CALL_STARTED, EV_PEER_JOINED,
                                       EV_PEER_LEFT, EV_CALL_ENDED));
  ASSERT_TRUE(alice.WaitFor(EV_CALL_ENDED));
  EXPECT_EQ(alice.Seen(EV_PEER_LEFT)[0].connection, toBob);
  EXPECT_FALSE(alice.Engine().Disconnect(toBob));  // gone already
  EXPECT_TRUE(PeersOf(alice).empty());
}

TEST(EngineCall, RejectedOrWrongUserCallFailsAtOnce) {
  TestEngine alice("alice", PatientConfig());
  TestEngine bob("bob");
  bob.SetAnswer(TestEngine::Answer::kReject);
  // At once: the caller waits out no handshake time-out.
  EXPECT_EQ(alice.Call(bob.Port()), nullptr);
  ASSERT_TRUE(alice.WaitFor(EV_CONNECT_FAILED));
  EXPECT_THAT(alice.Codes(), ElementsAre(EV_RINGING, EV_CONNECT_FAILED));
  EXPECT_THAT(bob.Codes(), ElementsAre(EV_INCOMING_CALL));
  EXPECT_FALSE(bob.Engine().IsActive());
  // The rejected caller's thread and connection are reaped.
  EXPECT_TRUE(WaitFor([&] { return bob.Engine().Server()->PendingCount() == 0; }));

  // A callee that is not the user asked for never rings.
  EXPECT_EQ(alice.Call(bob.Port(), "carol", true), nullptr);
  ASSERT_TRUE(alice.WaitFor(EV_CONNECT_FAILED, 2));
  EXPECT_THAT(alice.Codes(), ElementsAre(EV_RINGING, EV_CONNECT_FAILED, EV_USER_NOT_AT_ADDRESS,
                                         EV_CONNECT_FAILED));
  EXPECT_THAT(bob.Codes(), ElementsAre(EV_INCOMING_CALL));
  EXPECT_TRUE(alice.Engine().GetSessionId().empty());
}

TEST(EngineCall, ConferenceOfThreeSharesOneSessionAndStartsVoiceOncePerEngine) {
  TestEngine alice("alice");
  TestEngine bob("bob");
  TestEngine carol("carol");
  ASSERT_NE(alice.Call(bob.Port()), nullptr);
  // Carol, idle, cannot join alice's call on her own: she does not know its
  // session, and alice is never asked.
  EXPECT_EQ(carol.Call(alice.Port()), nullptr);
  ASSERT_TRUE(carol.WaitFor(EV_CONNECT_FAILED));
  EXPECT_THAT(carol.Codes(), ElementsAre(EV_SESSION_INACCESSIBLE, EV_CONNECT_FAILED));
  EXPECT_EQ(alice.Count(EV_CONFERENCE_REQUEST), 0u);
  // Alice, in the call, brings carol in: her request carries the session.
  ASSERT_NE(alice.Call(carol.Port()), nullptr);
  ASSERT_TRUE(alice.WaitFor(EV_PEER_JOINED, 2));
  ASSERT_TRUE(bob.WaitFor(EV_PEER_JOINED));
  ASSERT_TRUE(carol.WaitFor(EV_PEER_JOINED));
  Connection* toAlice = carol.Seen(EV_PEER_JOINED)[0].connection;
  EXPECT_THAT(alice.Codes(),
              ElementsAre(EV_RINGING, EV_CALL_STARTED, EV_PEER_JOINED, EV_RINGING, EV_PEER_JOINED));
  EXPECT_EQ(carol.Seen(EV_INCOMING_CALL)[0].name, "alice");
  const std::string session = alice.Engine().GetSessionId();
  EXPECT_EQ(bob.Engine().GetSessionId(), session);
  EXPECT_EQ(carol.Engine().GetSessionId(), session);
  for (TestEngine* e : {&alice, &bob, &carol}) EXPECT_EQ(e->Count(EV_CALL_STARTED), 1u);
  EXPECT_EQ(PeersOf(alice).size(), 2u);

  // A peer already in the call is not called again, by address or by name.
  EXPECT_EQ(alice.Call(bob.Port()), nullptr);
  EXPECT_EQ(alice.Call(carol.Port(), "carol"), nullptr);
  ASSERT_TRUE(alice.WaitFor(EV_ALREADY_CONNECTED, 2));
  EXPECT_EQ(alice.Seen(EV_ALREADY_CONNECTED)[1].name, "carol");
  // A member of the conference may call another member's engine: it knows
  // the session.
  EXPECT_EQ(bob.Count(EV_CONFERENCE_REQUEST), 0u);

  // Carol leaves: alice keeps bob, so her call goes on.
  ASSERT_TRUE(carol.Engine().Disconnect(toAlice));
  ASSERT_TRUE(alice.WaitFor(EV_PEER_LEFT));
  ASSERT_TRUE(carol.WaitFor(EV_CALL_ENDED));
  EXPECT_TRUE(WaitFor([&] { return PeersOf(alice).size() == 1; }));
  EXPECT_EQ(alice.Count(EV_CALL_ENDED), 0u);
  EXPECT_EQ(bob.Count(EV_PEER_LEFT), 0u);
}

TEST(EngineCall, CallerCancelsWhileTheCalleeDecidesOrNamesNoHost) {
  TestEngine alice("alice");
  TestEngine bob("bob");
  bob.SetAnswer(TestEngine::Answer::kHold);
  CallRequest request;
  request.host = "127.0.0.1";
  request.port = bob.Port();
  Connection* result = reinterpret_cast<Connection*>(1);
  std::thread caller([&] { result = alice.Engine().Connect(request); });
  ASSERT_TRUE(alice.WaitFor(EV_RINGING));
  ASSERT_TRUE(bob.WaitFor(EV_INCOMING_CALL));
  request.cancel.store(1);
  caller.join();
  EXPECT_EQ(result, nullptr);
  ASSERT_TRUE(alice.WaitFor(EV_CONNECT_FAILED));
  bob.DecideHeld(IncomingRequest::kReject);

  CallRequest nowhere;
  nowhere.host = "host.invalid";
  EXPECT_EQ(alice.Engine().Connect(nowhere), nullptr);
  ASSERT_TRUE(alice.WaitFor(EV_HOST_NOT_FOUND));
  EXPECT_THAT(alice.Codes(), ElementsAre(EV_RINGING, EV_CONNECT_FAILED, EV_HOST_NOT_FOUND));
}

}  // namespace
}  // namespace dialvo::test
