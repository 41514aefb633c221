// Building, listening, stopping and deleting engines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/NamedThread.h"
#include "tests/engine/EngineHarness.h"

namespace dialvo::test {
namespace {

using ::testing::ElementsAre;

TEST(EngineLifecycle, IdleEngineListensOnceAndStopsAtOnce) {
  const int threadsBefore = NamedThread::LiveObjects();
  {
    TestEngine idle("idle", PatientConfig());
    EXPECT_NE(idle.Port(), 0);
    EXPECT_FALSE(idle.Engine().StartServer());  // already running
    EXPECT_FALSE(idle.Engine().IsActive());
    EXPECT_FALSE(idle.Engine().SendKeepAlive());
    EXPECT_TRUE(idle.Engine().GetSessionId().empty());
    int notAPeer = 0;
    EXPECT_FALSE(idle.Engine().Disconnect(reinterpret_cast<Connection*>(&notAPeer)));
    std::vector<PeerEntry> peers;
    EXPECT_TRUE(idle.Engine().GetPeers(peers));  // the guard was left free
    EXPECT_TRUE(peers.empty());

    EXPECT_TRUE(idle.Engine().Stop());  // at once: it waits out no time-out
    EXPECT_TRUE(idle.Engine().Stop());  // a second stop finds nothing to do
    EXPECT_EQ(idle.Engine().ListeningPort(), 0);
    EXPECT_EQ(idle.Count(EV_SERVER_BIND_ERROR), 0u);
  }
  {
    // Deleted without a stop, in a call: it stops itself, waiting out no
    // receive time-out, and hangs up the caller. Stopping reports the peer
    // that left, not an ended call.
    TestEngine alice("alice");
    TestEngine bob("bob", PatientConfig());
    ASSERT_NE(alice.Call(bob.Port()), nullptr);
    ASSERT_TRUE(bob.WaitFor(EV_PEER_JOINED));
    bob.DeleteEngine();
    ASSERT_TRUE(alice.WaitFor(EV_CALL_ENDED));
    EXPECT_THAT(alice.Codes(), ElementsAre(EV_RINGING, EV_CALL_STARTED, EV_PEER_JOINED,
                                           EV_PEER_LEFT, EV_CALL_ENDED));
    ASSERT_TRUE(bob.WaitFor(EV_PEER_LEFT));
    EXPECT_EQ(bob.Count(EV_CALL_ENDED), 0u);
  }
  {
    // Without an application, callers are turned away.
    NetCore lonely(FastConfig(), nullptr, "lonely");
    TestEngine alice("alice");
    EXPECT_EQ(alice.Call(lonely.ListeningPort()), nullptr);
  }
  EXPECT_EQ(NamedThread::LiveObjects(), threadsBefore);
}

TEST(EngineLifecycle, CallerNobodyAnswersDoesNotHoldUpStop) {
  EngineConfig config = PatientConfig();
  config.decisionPollMs = 5;
  TestEngine bob("bob", config);
  bob.SetAnswer(TestEngine::Answer::kHold);  // a window that never answers
  RawPeer caller;
  caller.Send(Request("raw"), bob.Address());
  ASSERT_TRUE(caller.ReceiveType(wire::MSG_RINGING).has_value());
  ASSERT_TRUE(bob.WaitFor(EV_INCOMING_CALL));

  EXPECT_TRUE(bob.Engine().Stop());  // the dialogue waits out no decision time-out
  // The dialogue took the caller as rejected; its answer goes to a
  // listening socket that no longer relays, so the caller hears nothing.
  EXPECT_TRUE(caller.Quiet(100));
  const auto held = bob.Held();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0]->Decision(), IncomingRequest::kReject);
  // The window answers after the engine is gone: refused, nothing freed
  // is touched.
  bob.DeleteEngine();
  EXPECT_FALSE(held[0]->Decide(IncomingRequest::kAccept));
  EXPECT_EQ(held[0]->Decision(), IncomingRequest::kReject);
}

TEST(EngineLifecycle, TakenPortsAreReportedOrAvoided) {
  RawPeer squatter;
  EngineConfig config = FastConfig();
  config.listeningPort = squatter.Address().port;
  config.localPort = squatter.Address().port;
  TestEngine alice("alice", config);
  ASSERT_TRUE(alice.WaitFor(EV_SERVER_BIND_ERROR));
  EXPECT_EQ(alice.Port(), 0);
  // The local connection took another loopback port and sends to itself.
  const SockAddr local = alice.Engine().LocalVoiceAddress();
  EXPECT_TRUE(local.IsLoopback());
  EXPECT_NE(local.port, 0);
  EXPECT_NE(local.port, squatter.Address().port);

  // Without a listening socket it still calls out.
  TestEngine bob("bob", config);
  TestEngine carol("carol");
  EXPECT_NE(bob.Engine().LocalVoiceAddress(), local);
  EXPECT_NE(alice.Call(carol.Port()), nullptr);
}

}  // namespace
}  // namespace dialvo::test
