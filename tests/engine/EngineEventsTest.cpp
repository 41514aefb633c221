#include "engine/EngineEvents.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "engine/CallRequest.h"
#include "engine/EventSink.h"
#include "engine/IncomingRequest.h"
#include "engine/WakeEvent.h"

namespace dialvo {
namespace {

Connection* FakeConnection(uintptr_t n) { return reinterpret_cast<Connection*>(n); }

TEST(EngineEvents, SoundBufferEventsShareABufferShowingTheLatestBlock) {
  EventQueueWindow window;
  EventSink sink(&window);
  for (uint8_t fill : {1, 2}) {
    CaptureEventBuffer().Write(std::vector<uint8_t>(3200, fill));
    sink.PostEvent(EV_CAPTURE_BUFFER, &CaptureEventBuffer());
  }
  for (int i = 0; i < 2; ++i) {
    auto msg = window.Next(0);
    ASSERT_TRUE(msg.has_value());
    EXPECT_EQ(reinterpret_cast<StaticAudioBuffer*>(msg->lParam)->Read()[3199], 2);
    FreeEventData(static_cast<uint32_t>(msg->wParam), msg->lParam);  // nothing to free
  }
  EXPECT_NE(&CaptureEventBuffer(), &PlayoutEventBuffer());
}

TEST(EngineEvents, AFloodIsBoundedCountersMergedTheRestDroppedAndCounted) {
  auto request = std::make_shared<IncomingRequest>("late");
  uint64_t bytes = 0;
  {
    EventQueueWindow window(8);
    EventSink sink(&window);
    // Half full: from here on counting events give way.
    for (int i = 0; i < 4; ++i) sink.PostEvent(EV_RINGING, uintptr_t{0});
    for (uint32_t i = 1; i <= 100; ++i) {
      sink.PostEvent(EV_BYTES_RECEIVED, new ByteCountRecord{FakeConnection(1), i});
      sink.PostEvent(EV_ROUND_TRIP, new RoundTripRecord{nullptr, i, 1, 0});
      sink.PostEvent(EV_PACKET_GAP, new PacketGapRecord{nullptr, 2});
    }
    EXPECT_EQ(window.Pending(), 4u);
    EXPECT_EQ(window.Dropped(), 200u);
    // What matters still gets in, up to the bound.
    sink.PostEvent(EV_PEER_LEFT, FakeConnection(1));
    for (int i = 0; i < 3; ++i) sink.PostEvent(EV_CALL_ENDED, uintptr_t{0});
    sink.PostEvent(EV_INCOMING_CALL, new IncomingRequestRecord{request});  // no room
    EXPECT_EQ(window.Pending(), 8u);
    EXPECT_EQ(window.Dropped(), 201u);
    EXPECT_EQ(request->Decision(), IncomingRequest::kReject);  // turned away, not lost
    // Once drained, the merged bytes ride with the next count.
    while (auto msg = window.Next(0))
      FreeEventData(static_cast<uint32_t>(msg->wParam), msg->lParam);
    sink.PostEvent(EV_BYTES_RECEIVED, new ByteCountRecord{FakeConnection(1), 1});
    auto merged = window.Next(0);
    ASSERT_TRUE(merged.has_value());
    bytes = reinterpret_cast<ByteCountRecord*>(merged->lParam)->bytes;
    FreeEventData(EV_BYTES_RECEIVED, merged->lParam);
  }
  EXPECT_EQ(bytes, 5050u + 1u);
  EXPECT_EQ(request.use_count(), 1);
}

TEST(EngineEvents, UnhandledEventsAreFreedAndWaitingCallersTurnedAway) {
  auto request = std::make_shared<IncomingRequest>("caller");
  auto conference = std::make_shared<IncomingRequest>("second");
  {
    EventQueueWindow window;
    EventSink sink(&window);
    sink.PostEvent(EV_PEER_JOINED, NewPeerInfo("x", nullptr, 5));
    sink.PostEvent(EV_ROUND_TRIP, new RoundTripRecord{nullptr, 1, 2, 3});
    sink.PostEvent(EV_PACKET_GAP, new PacketGapRecord{nullptr, 3});
    CallRequest call;
    call.host = "h";
    sink.PostEvent(EV_ALREADY_CONNECTED, new CallRequest(call));
    sink.PostEvent(EV_INCOMING_CALL, new IncomingRequestRecord{request});
    EXPECT_EQ(window.Pending(), 5u);
  }  // records freed here (ASan reports a leak otherwise)
  EXPECT_EQ(request->Decision(), IncomingRequest::kReject);
  EXPECT_EQ(request.use_count(), 1);
  EXPECT_FALSE(request->Decide(IncomingRequest::kAccept));  // too late
  EXPECT_EQ(request->Decision(), IncomingRequest::kReject);

  // A sink without a window drops at once.
  EventSink orphan(nullptr);
  EXPECT_EQ(orphan.PostEvent(EV_BYTES_RECEIVED, new ByteCountRecord{nullptr, 9}), 1);
  orphan.PostEvent(EV_CONFERENCE_REQUEST, new IncomingRequestRecord{conference});
  EXPECT_EQ(conference->Decision(), IncomingRequest::kReject);
  EXPECT_EQ(conference.use_count(), 1);
}

TEST(EngineEvents, RequestIsDecidedOnceAndTheAnswerWakesTheWaiter) {
  WakeEvent stop;
  // The window's answer wakes the waiting thread; later answers change nothing.
  auto answered = std::make_shared<IncomingRequest>("alice");
  EXPECT_EQ(answered->Decision(), IncomingRequest::kPending);
  uint32_t seen = 0;
  // Woken by the answer: the next look at the stop event is an hour away.
  std::thread asker([&] { seen = answered->WaitForDecision(stop, 3600 * 1000); });
  EXPECT_FALSE(answered->Decide(IncomingRequest::kPending));  // no decision
  EXPECT_FALSE(answered->Decide(77));
  EXPECT_TRUE(answered->Decide(IncomingRequest::kAccept));
  asker.join();
  EXPECT_EQ(seen, IncomingRequest::kAccept);
  EXPECT_FALSE(answered->Decide(IncomingRequest::kReject));
  EXPECT_EQ(answered->Decision(), IncomingRequest::kAccept);
  stop.Set();
  EXPECT_EQ(answered->WaitForDecision(stop, 1), IncomingRequest::kAccept);  // decided first

  // The receiver frees the record; its share of the request goes with it.
  auto* record = new IncomingRequestRecord{answered};
  EXPECT_EQ(answered.use_count(), 2);
  FreeEventData(EV_INCOMING_CALL, reinterpret_cast<uintptr_t>(record));
  EXPECT_EQ(answered.use_count(), 1);
}

TEST(EngineEvents, PeerInfoNamesAndCallRequestCopies) {
  PeerInfo* unknown = NewPeerInfo("", nullptr, 1);
  EXPECT_STREQ(unknown->userName, "UNKNOWN");
  delete unknown;
  const std::string longName(300, 'n');
  PeerInfo* longInfo = NewPeerInfo(longName.c_str(), nullptr, 5);
  EXPECT_EQ(std::strlen(longInfo->userName), 255u);
  delete longInfo;

  CallRequest request;
  request.host = "10.0.0.1";
  request.port = 1721;
  request.calleeName = "bob";
  request.confirmUser = 1;
  request.cancel = 1;
  CallRequest copy(request);
  EXPECT_EQ(copy.cancel.load(), 0u);
  EXPECT_EQ(copy.host, "10.0.0.1");
  EXPECT_EQ(copy.port, 1721u);
  EXPECT_EQ(copy.calleeName, "bob");
}

}  // namespace
}  // namespace dialvo
