// The call controller on a fake engine: every event travels the real path
// (event sink, bridge, queued call on the GUI thread).
#include <gmock/gmock.h>

#include <QSignalSpy>

#include "app/ConnectAddress.h"
#include "app/SafeText.h"
#include "settings/Settings.h"
#include "tests/app/AppHarness.h"

namespace dialvo::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

TEST(ConnectAddress, ReadsHostAndPortAndKeepsTheNewestTen) {
  // Runs of ':' separate tokens and leading ones are skipped: the first
  // token is the host; tokens after the port are ignored.
  const std::tuple<const char*, const char*, uint32_t, const char*> good[] = {
      {" 10.0.0.5:5555 ", "10.0.0.5", 5555, "10.0.0.5:5555"},
      {"10.0.0.5", "10.0.0.5", 1720, "10.0.0.5"},
      {":5555", "5555", 1720, "5555"},
      {"host::99:extra", "host", 99, "host:99"},
      {"1.2.3.4:65535", "1.2.3.4", 65535, "1.2.3.4:65535"},
  };
  QString error;
  for (const auto& [text, host, port, entry] : good) {
    const auto a = ParseConnectAddress(QString::fromLatin1(text), &error);
    ASSERT_TRUE(a) << text;
    EXPECT_EQ(a->host, QString::fromLatin1(host));
    EXPECT_EQ(a->port, port);
    EXPECT_EQ(a->HistoryEntry(), QString::fromLatin1(entry));
  }
  for (const char* bad : {"10.0.0.5:abc", "10.0.0.5:0", "10.0.0.5:65536", "10.0.0.5:-1"}) {
    EXPECT_FALSE(ParseConnectAddress(QString::fromLatin1(bad), &error)) << bad;
    EXPECT_EQ(error, QStringLiteral("The port specified is invalid")) << bad;
  }
  EXPECT_FALSE(ParseConnectAddress(QStringLiteral("   "), &error));
  EXPECT_EQ(error, QStringLiteral("Enter IP Address/Host name of the computer"));

  QStringList history;
  for (int i = 0; i < 12; ++i) history = AddToIpHistory(history, QStringLiteral("h%1").arg(i));
  ASSERT_EQ(history.size(), 10);
  EXPECT_EQ(history.front(), QStringLiteral("h2"));
  EXPECT_EQ(history.back(), QStringLiteral("h11"));
  history = AddToIpHistory(history, QStringLiteral("H5"));
  EXPECT_EQ(history.size(), 10);
  EXPECT_EQ(history.back(), QStringLiteral("H5"));
  EXPECT_FALSE(history.contains(QStringLiteral("h5")));
  EXPECT_FALSE(IsStorableHost(QStringLiteral("my host")));
}

TEST(SafeText, DropsControlsAndCapsTheLength) {
  EXPECT_EQ(SafeText("bob\r\n\x1b[31m\xe2\x80\xae"), QStringLiteral("bob[31m"));
  EXPECT_EQ(SafeText("<b>x</b>"), QStringLiteral("<b>x</b>"));  // shown as plain text
  EXPECT_EQ(SafeText(std::string(500, 'a')).size(), kMaxNameChars);
}

TEST(CallController, TalkResetsConnectsAndEndsInACallAndExitTurnsAwayEveryCaller) {
  ControllerRig rig;
  EXPECT_EQ(rig.calls->State(), CallState::kListening);
  ASSERT_EQ(rig.factory->engines.size(), 1u);

  // A bad address is refused before anything is reset.
  rig.calls->Talk(CallPage::kConnectByIp, QStringLiteral("10.0.0.5:0"));
  EXPECT_THAT(rig.messages, ElementsAre(QStringLiteral("The port specified is invalid")));
  EXPECT_EQ(rig.factory->engines.size(), 1u);

  rig.factory->holdConnect = true;
  rig.calls->Talk(CallPage::kConnectByIp, QStringLiteral("127.0.0.1:5555"));
  ASSERT_TRUE(rig.Connecting(2));
  FakeEngineRecord& first = *rig.factory->engines[0];
  EXPECT_EQ(first.stops, 1);
  EXPECT_TRUE(first.deleted);
  EXPECT_EQ(rig.Engine().host, "127.0.0.1");
  EXPECT_EQ(rig.Engine().callPort, 5555u);
  EXPECT_EQ(rig.calls->State(), CallState::kConnecting);
  EXPECT_THAT(rig.calls->IpHistory(), ElementsAre(QStringLiteral("127.0.0.1:5555")));

  // A second Talk is refused and starts nothing.
  rig.calls->Talk(CallPage::kConnectByIp, QStringLiteral("127.0.0.2"));
  EXPECT_EQ(rig.messages.back(),
            QStringLiteral("A connection attempt is already in progress. You can attempt only one "
                           "connection at time."));
  EXPECT_EQ(rig.factory->engines.size(), 2u);

  rig.Deliver(EV_RINGING);
  EXPECT_THAT(rig.sounds->log, Contains("ring phonering.wav"));
  rig.StartCall(FakeConnection(1), "bob");
  rig.Engine().releaseConnect = true;
  ASSERT_TRUE(WaitForGui([&] { return !rig.calls->ConnectInProgress(); }));
  EXPECT_EQ(rig.calls->State(), CallState::kInCall);
  EXPECT_EQ(rig.calls->Conference().rowCount(), 1);
  EXPECT_EQ(rig.calls->PaneText(2), QStringLiteral("Active 00:00:00"));

  // Hang Up asks first; Yes ends the call.
  QSignalSpy asked(rig.calls.get(), &CallController::askHangUp);
  rig.calls->HangUp();
  EXPECT_EQ(asked.count(), 1);
  rig.calls->ConfirmHangUp(true);
  ASSERT_TRUE(WaitForGui([&] { return rig.factory->engines.size() == 3; }));
  EXPECT_EQ(rig.factory->engines[1]->stops, 1);
  EXPECT_EQ(rig.calls->State(), CallState::kListening);
  EXPECT_EQ(rig.calls->Conference().rowCount(), 0);
  EXPECT_EQ(rig.sounds->log.back(), "play hangup.wav");

  // Exit in a call turns away every caller and stops the engine once.
  rig.StartCall(FakeConnection(2), "carol");
  auto joiner = rig.Caller("frank", EV_CONFERENCE_REQUEST);
  EXPECT_EQ(joiner->Decision(), IncomingRequest::kPending);
  // A request still on its way when the engine is replaced is rejected when
  // it arrives.
  auto inFlight = std::make_shared<IncomingRequest>("grace");
  rig.Post(EV_INCOMING_CALL, new IncomingRequestRecord{inFlight});
  QSignalSpy finished(rig.calls.get(), &CallController::shutdownFinished);
  rig.calls->Shutdown();
  rig.calls->Shutdown();  // a second exit changes nothing
  EXPECT_EQ(joiner->Decision(), IncomingRequest::kReject);
  ASSERT_TRUE(WaitForGui([&] { return finished.count() == 1; }));
  EXPECT_EQ(inFlight->Decision(), IncomingRequest::kReject);
  EXPECT_EQ(rig.factory->engines.size(), 3u);
  EXPECT_EQ(rig.Engine().stops, 1);
  EXPECT_TRUE(rig.Engine().deleted);
  EXPECT_EQ(rig.calls->State(), CallState::kStopped);
}

TEST(CallController, FailedAndCancelledAttemptsListenAgain) {
  ControllerRig rig;
  QSignalSpy failedDialogs(rig.calls.get(), &CallController::connectFailed);
  // Not answered: the dialog, and a fresh engine listening. The engine
  // reports the failure before its Connect returns.
  rig.factory->holdConnect = true;
  rig.calls->Talk(CallPage::kConnectByIp, QStringLiteral("127.0.0.1"));
  ASSERT_TRUE(rig.Connecting(2));
  rig.Post(EV_CONNECT_FAILED);
  rig.Engine().releaseConnect = true;
  ASSERT_TRUE(WaitForGui([&] { return rig.factory->engines.size() == 3; }));
  EXPECT_EQ(failedDialogs.count(), 1);
  EXPECT_EQ(rig.calls->State(), CallState::kListening);
  EXPECT_FALSE(rig.calls->ConnectInProgress());

  // Cancelled: the engine sees the flag and the failure is not shown; a
  // host that cannot be resolved is shown all the same.
  rig.calls->Talk(CallPage::kConnectByIp, QStringLiteral("127.0.0.1"));
  ASSERT_TRUE(rig.Connecting(4));
  rig.Post(EV_CONNECT_FAILED);
  rig.Post(EV_HOST_NOT_FOUND, FakeConnection(9));
  rig.calls->CancelConnect();
  ASSERT_TRUE(WaitForGui([&] { return rig.factory->engines.size() == 5; }));
  EXPECT_EQ(failedDialogs.count(), 1);
  EXPECT_THAT(rig.messages.back().toStdString(),
              ::testing::StartsWith("Cannot resolve the IP address"));

  // Other pages need a login or a selected buddy.
  rig.calls->Talk(CallPage::kOnline, {});
  EXPECT_THAT(rig.messages.back().toStdString(), ::testing::StartsWith("You have to login"));
  QSignalSpy selectFirst(rig.calls.get(), &CallController::selectBuddyFirst);
  rig.calls->SetLoggedIn(true, QStringLiteral("alice"));
  EXPECT_EQ(rig.Engine().userName, "alice");
  rig.calls->Talk(CallPage::kBuddies, {});
  EXPECT_EQ(selectFirst.count(), 1);
  EXPECT_EQ(rig.factory->engines.size(), 5u);
}

TEST(CallController, IncomingCallsRingOneAtATimeAndTimeOutAsMissed) {
  ControllerRig rig(/*ringTickMs=*/5);
  rig.settings->WriteDword(keys::kRingTime, 5);
  QSignalSpy shown(rig.calls.get(), &CallController::incomingCall);
  QSignalSpy closed(rig.calls.get(), &CallController::incomingClosed);

  auto first = rig.Caller("carol\x07");
  ASSERT_EQ(shown.count(), 1);
  EXPECT_EQ(shown[0], (QVariantList{QStringLiteral("carol"), 5}));
  EXPECT_EQ(rig.calls->State(), CallState::kIncoming);
  EXPECT_EQ(rig.sounds->log.back(), "loop phonering.wav");
  // A second caller while the dialog is open is turned away at once and is
  // not a missed call.
  auto second = rig.Caller("dave");
  EXPECT_EQ(second->Decision(), IncomingRequest::kReject);
  EXPECT_EQ(first->Decision(), IncomingRequest::kPending);
  EXPECT_EQ(shown.count(), 1);

  ASSERT_TRUE(WaitForGui([&] { return first->Decision() != IncomingRequest::kPending; }));
  EXPECT_EQ(first->Decision(), IncomingRequest::kReject);
  EXPECT_EQ(closed.count(), 1);
  EXPECT_EQ(rig.sounds->log.back(), "stop");  // the ring ends with the decision
  ASSERT_EQ(rig.calls->MissedCalls().size(), 1u);
  EXPECT_EQ(rig.calls->MissedCalls()[0].callerName, QStringLiteral("carol"));
  EXPECT_EQ(rig.calls->State(), CallState::kListening);

  auto third = rig.Caller("erin");
  rig.calls->AnswerIncoming(true);
  EXPECT_EQ(third->Decision(), IncomingRequest::kAccept);
  rig.calls->AnswerIncoming(false);  // a late answer changes nothing
  EXPECT_EQ(third->Decision(), IncomingRequest::kAccept);
  EXPECT_EQ(rig.calls->MissedCalls().size(), 1u);
}

TEST(CallController, EventsActOnlyForTheirEngineAndItsCallAndCountTraffic) {
  ControllerRig rig(/*ringTickMs=*/5);
  rig.settings->WriteDword(keys::kRingTime, 2);
  // EV_CALL_ENDED before EV_CALL_STARTED is ignored.
  rig.Deliver(EV_CALL_ENDED);
  EXPECT_EQ(rig.factory->engines.size(), 1u);
  EXPECT_EQ(rig.Engine().stops, 0);
  // A conference request outside a call is turned away.
  auto early = rig.Caller("mallory", EV_CONFERENCE_REQUEST);
  EXPECT_EQ(early->Decision(), IncomingRequest::kReject);
  // Round trips of strangers make no click.
  rig.Deliver(EV_ROUND_TRIP, new RoundTripRecord{FakeConnection(7), 1, 80, 0});
  EXPECT_THAT(rig.sounds->log, ::testing::Not(Contains("play click.wav")));

  rig.StartCall(FakeConnection(1), "bob");
  EXPECT_THAT(rig.notes, ElementsAre(QStringLiteral("User Connected ->bob")));
  // Traffic counters: at most one event per counter waits in the queue,
  // whatever the rate, and the sums are exact.
  QSignalSpy updates(rig.calls.get(), &CallController::statisticsChanged);
  for (uint32_t i = 1; i <= 1000; ++i) {
    rig.Post(EV_BYTES_SENT, new ByteCountRecord{FakeConnection(1), i});
    rig.Post(EV_BYTES_RECEIVED, new ByteCountRecord{FakeConnection(1), 2});
  }
  ASSERT_TRUE(WaitForGui([&] { return rig.calls->BytesSent() == 500500u; }));
  EXPECT_EQ(rig.calls->BytesReceived(), 2000u);
  EXPECT_LE(updates.count(), 2);

  rig.Deliver(EV_ROUND_TRIP, new RoundTripRecord{FakeConnection(1), 1, 81, 2});
  EXPECT_THAT(rig.sounds->log, Contains("play click.wav"));
  const PeerStats& row = rig.calls->Conference().Rows().at(0);
  EXPECT_EQ(row.shownDelay, 40);
  EXPECT_EQ(row.delayCount, 2u);
  EXPECT_EQ(row.delaySum, 82u);
  EXPECT_EQ(rig.calls->Conference().data(rig.calls->Conference().index(0, 1)).toString(),
            QStringLiteral("40"));
  rig.Deliver(EV_ROUND_TRIP, new RoundTripRecord{FakeConnection(1), 2, 20000, 0});
  EXPECT_EQ(row.shownDelay, 10000);
  EXPECT_EQ(row.delayCount, 2u);  // out of range: shown, not averaged

  rig.Deliver(EV_PACKET_GAP, new PacketGapRecord{FakeConnection(1), 3});
  EXPECT_EQ(rig.calls->LostPackets(), 3u);
  EXPECT_EQ(rig.calls->Conference().Rows().at(0).lostPackets, 3u);
  EXPECT_EQ(rig.notes.back(), QStringLiteral("Network lost some packets"));

  // A conference request while in the call: pop-up, beep, and rejected when
  // its time is up.
  QSignalSpy popups(rig.calls.get(), &CallController::conferenceRequest);
  auto joiner = rig.Caller("frank", EV_CONFERENCE_REQUEST);
  EXPECT_EQ(popups.count(), 1);
  EXPECT_EQ(rig.sounds->log.back(), "beep");
  ASSERT_TRUE(WaitForGui([&] { return joiner->Decision() == IncomingRequest::kReject; }));
  EXPECT_TRUE(rig.calls->MissedCalls().empty());

  // Disconnect User goes to the engine; the row goes with EV_PEER_LEFT.
  rig.calls->DisconnectUser(0);
  EXPECT_THAT(rig.Engine().disconnected, ElementsAre(FakeConnection(1)));
  EXPECT_EQ(rig.calls->Conference().rowCount(), 1);
  rig.Deliver(EV_PEER_LEFT, FakeConnection(1));
  EXPECT_EQ(rig.calls->Conference().rowCount(), 0);
  EXPECT_EQ(rig.notes.back(), QStringLiteral("User Disconnected ->bob"));

  // The call ends: a fresh engine listens, and a call can start on it.
  rig.Deliver(EV_CALL_ENDED);
  ASSERT_TRUE(WaitForGui([&] { return rig.factory->engines.size() == 2; }));
  EXPECT_EQ(rig.sounds->log.back(), "play hangup.wav");
  EXPECT_EQ(rig.calls->State(), CallState::kListening);
  rig.Deliver(EV_CALL_STARTED);
  EXPECT_EQ(rig.calls->State(), CallState::kInCall);
}

TEST(CallController, StatusTicksShowCongestionAndInterimReportsOnTheProgramsCount) {
  ControllerRig rig(/*ringTickMs=*/1000, /*statusTickMs=*/1);
  std::vector<CallReportData> reports;
  std::vector<uint32_t> ticks;  // the tick count at each report
  QObject::connect(rig.calls.get(), &CallController::callReport, [&](const CallReportData& report) {
    reports.push_back(report);
    ticks.push_back(rig.calls->TickCount());
  });
  // No call: ticks count, nothing else happens.
  ASSERT_TRUE(WaitForGui([&] { return rig.calls->TickCount() >= 20; }));
  EXPECT_TRUE(rig.notes.empty());
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(rig.calls->PaneText(2), QStringLiteral("Listening UDP Port: 1720"));

  rig.StartCall(FakeConnection(1), "bob");
  rig.Deliver(EV_PEER_JOINED, NewPeerInfo("carol", FakeConnection(2), 5));
  ASSERT_EQ(reports.size(), 2u);  // one per join
  EXPECT_EQ(reports.back().rows.size(), 2u);
  // carol answers round trips, bob has been silent for over 10 s.
  rig.clock.Advance(10001);
  rig.Deliver(EV_ROUND_TRIP, new RoundTripRecord{FakeConnection(2), 1, 90, 0});
  ASSERT_TRUE(
      WaitForGui([&] { return !rig.notes.empty() && rig.notes.back().startsWith("Network"); }));
  EXPECT_EQ(rig.notes.back(), QStringLiteral("Network congestion with\n------\nbob"));
  // The interim report falls on the program's 300th tick, not the call's.
  ASSERT_TRUE(WaitForGui([&] { return reports.size() == 3; }));
  EXPECT_EQ(ticks.back() % 300, 0u);
  EXPECT_EQ(reports.back().rows.size(), 2u);
  EXPECT_EQ(reports.back().generation, rig.calls->EngineGeneration());
  EXPECT_THAT(rig.calls->PaneText(2).toStdString(), ::testing::StartsWith("Active 00:00:0"));
  // The last peer leaving is reported with that peer's final figures.
  rig.Deliver(EV_PEER_LEFT, FakeConnection(1));
  rig.Deliver(EV_PEER_LEFT, FakeConnection(2));
  ASSERT_GE(reports.size(), 5u);
  EXPECT_EQ(reports.back().rows.size(), 1u);
  EXPECT_EQ(reports.back().rows[0].userName, QStringLiteral("carol"));
  EXPECT_EQ(reports.back().rows[0].delayCount, 2u);
}

}  // namespace
}  // namespace dialvo::test
