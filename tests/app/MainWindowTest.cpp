// The real main window on the offscreen platform, over a controller on a
// fake engine: what the user sees and what the clicks and keys do.
#include "app/MainWindow.h"

#include <gmock/gmock.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>

#include "app/CallDialogs.h"
#include "app/CallRecords.h"
#include "app/SingleInstance.h"
#include "controls/LinkLabel.h"
#include "controls/PaneStatusBar.h"
#include "settings/Settings.h"
#include "tests/app/AppHarness.h"

namespace dialvo::test {
namespace {

struct WindowRig : ControllerRig {
  explicit WindowRig(bool useTray = false, int ringTickMs = 1000) : ControllerRig(ringTickMs) {
    MainWindowOptions options = PlainWindow();
    options.useTray = useTray;
    window = std::make_unique<MainWindow>(*calls, nullptr, settings, options);
    window->show();
  }
  ~WindowRig() {
    window.reset();  // before the controller: the window turns its callers away first
  }
  template <typename T>
  T* Find(const char* name) {
    return Child<T>(window.get(), name);
  }
  std::unique_ptr<MainWindow> window;
};

TEST(MainWindow, PlacesACallByAddressAndShowsItsProgress) {
  WindowRig rig;
  auto* talk = rig.Find<QPushButton>("talkButton");
  ASSERT_NE(talk, nullptr);
  EXPECT_TRUE(talk->isVisible());
  EXPECT_FALSE(rig.Find<QPushButton>("hangUpButton")->isVisible());
  EXPECT_EQ(rig.window->windowTitle(), QStringLiteral("Orvanta -Please Login"));
  EXPECT_EQ(rig.window->StatusPanes()->PaneText(2), QStringLiteral("Listening UDP Port: 1720"));

  rig.factory->holdConnect = true;
  auto* address = rig.Find<QComboBox>("address");
  address->setFocus();
  QTest::keyClicks(address, QStringLiteral("127.0.0.1:1800"));
  QTest::keyClick(address, Qt::Key_Return);  // Enter in the address box is Talk
  ASSERT_TRUE(rig.Connecting(2));
  auto* progress = VisibleWindow<ConnectProgressDialog>("connectProgressDialog");
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(progress->Text(), QStringLiteral("Connecting to 127.0.0.1 port 1800"));
  rig.Deliver(EV_RINGING);
  EXPECT_EQ(progress->Text(), QStringLiteral("Ringing at the other end"));
  QTest::keyClick(progress, Qt::Key_Escape);  // the keyboard cancels too
  EXPECT_EQ(progress->Text(), QStringLiteral("Cancelling.. Please Wait"));
  // The attempt ends (the fake engine sees the cancel): the window goes and
  // the address is remembered, newest first.
  ASSERT_TRUE(
      WaitForGui([&] { return VisibleWindow<QWidget>("connectProgressDialog") == nullptr; }));
  ASSERT_TRUE(WaitForGui([&] { return rig.factory->engines.size() == 3; }))
      << rig.factory->engines.size() << " state " << static_cast<int>(rig.calls->State());
  EXPECT_EQ(address->itemText(0), QStringLiteral("127.0.0.1:1800"));
  EXPECT_TRUE(talk->isVisible());
}

TEST(MainWindow, IncomingDialogAcceptsOnEnterAndRejectsOnEscape) {
  WindowRig rig;
  auto first = rig.Caller("bob");
  auto* dialog = VisibleWindow<IncomingCallDialog>("incomingCallDialog");
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(Child<QLineEdit>(dialog, "callerName")->text(), QStringLiteral("bob"));
  EXPECT_EQ(Child<QLineEdit>(dialog, "secondsLeft")->text(), QStringLiteral("10"));
  QTest::keyClick(dialog, Qt::Key_Return);
  EXPECT_EQ(first->Decision(), IncomingRequest::kAccept);
  ASSERT_TRUE(WaitForGui([&] { return VisibleWindow<QWidget>("incomingCallDialog") == nullptr; }));

  auto second = rig.Caller("carol");
  dialog = VisibleWindow<IncomingCallDialog>("incomingCallDialog");
  ASSERT_NE(dialog, nullptr);
  QTest::keyClick(dialog, Qt::Key_Escape);
  EXPECT_EQ(second->Decision(), IncomingRequest::kReject);
  EXPECT_TRUE(rig.calls->MissedCalls().empty());

  // A dialog still open when the window goes answers no.
  auto third = rig.Caller("dave");
  ASSERT_NE(VisibleWindow<QWidget>("incomingCallDialog"), nullptr);
  rig.window.reset();
  rig.calls->Shutdown();
  EXPECT_EQ(third->Decision(), IncomingRequest::kReject);
}

TEST(MainWindow, ConferenceCallersAreAddedByLinkOrRejectedWhenThePopupCloses) {
  WindowRig rig;
  rig.StartCall(FakeConnection(1), "bob");
  EXPECT_TRUE(rig.Find<QPushButton>("hangUpButton")->isVisible());
  EXPECT_TRUE(rig.Find<QPushButton>("conferenceButton")->isVisible());
  EXPECT_FALSE(rig.Find<QPushButton>("talkButton")->isVisible());
  auto* list = rig.Find<QTableView>("conferenceList");
  EXPECT_EQ(list->model()->data(list->model()->index(0, 0)).toString(), QStringLiteral("bob"));

  auto joiner = rig.Caller("<b>frank</b>", EV_CONFERENCE_REQUEST);
  auto* popup = VisibleWindow<ConferenceRequestPopup>("conferenceRequestPopup");
  ASSERT_NE(popup, nullptr);
  auto* text = Child<QLabel>(popup, "popupText");
  EXPECT_EQ(text->text(), QStringLiteral("Incoming call-><b>frank</b>"));
  EXPECT_EQ(text->textFormat(), Qt::PlainText);
  QTest::mouseClick(Child<LinkLabel>(popup, "addToConference"), Qt::LeftButton);
  EXPECT_EQ(joiner->Decision(), IncomingRequest::kAccept);

  auto other = rig.Caller("grace", EV_CONFERENCE_REQUEST);
  popup = VisibleWindow<ConferenceRequestPopup>("conferenceRequestPopup");
  ASSERT_NE(popup, nullptr);
  popup->close();
  EXPECT_EQ(other->Decision(), IncomingRequest::kReject);

  // Hang Up asks; the answer No keeps the call.
  QTest::mouseClick(rig.Find<QPushButton>("hangUpButton"), Qt::LeftButton);
  ASSERT_TRUE(AnswerBox("hangUpQuestion", QMessageBox::No));
  EXPECT_EQ(rig.calls->State(), CallState::kInCall);
  EXPECT_EQ(rig.Engine().stops, 0);
}

TEST(MainWindow, MissedCallsAreListedNewestFirstAndCountedUntilSeen) {
  EXPECT_EQ(MissedCallTime(QDateTime(QDate(2026, 12, 7), QTime(14, 5, 9))),
            QStringLiteral("December 07, 14:05:09"));
  WindowRig rig(/*useTray=*/false, /*ringTickMs=*/5);
  rig.settings->WriteDword(keys::kRingTime, 5);
  auto* dialog = VisibleWindow<QWidget>("missedCallsDialog");
  EXPECT_EQ(dialog, nullptr);  // made hidden at start
  for (int i = 0; i < 2; ++i) {
    auto caller = rig.Caller("carol");
    ASSERT_TRUE(WaitForGui([&] { return caller->Decision() != IncomingRequest::kPending; }));
    ASSERT_TRUE(WaitForGui([&] { return rig.window->MissedCalls().Unseen() == i + 1; }));
  }
  // Shown after each missed call; two rows for the same caller.
  EXPECT_NE(VisibleWindow<QWidget>("missedCallsDialog"), nullptr);
  MissedCallsModel& model = rig.window->MissedCalls();
  ASSERT_EQ(model.rowCount(), 2);
  EXPECT_EQ(model.data(model.index(0, 0), Qt::DisplayRole).toString(), QStringLiteral("carol"));
  EXPECT_EQ(model.data(model.index(0, 1), Qt::DisplayRole).toString(),
            MissedCallTime(rig.calls->MissedCalls()[0].when));
  EXPECT_GE(rig.calls->MissedCalls()[0].when, rig.calls->MissedCalls()[1].when);
  EXPECT_EQ(rig.window->windowTitle(), QStringLiteral("Orvanta -Please Login (2 missed calls)"));
  // Put away by the user: seen, and the title is plain again.
  VisibleWindow<QDialog>("missedCallsDialog")->reject();
  EXPECT_EQ(model.Unseen(), 0);
  EXPECT_EQ(rig.window->windowTitle(), QStringLiteral("Orvanta -Please Login"));
  EXPECT_EQ(WithMissedCount(QStringLiteral("Click here to Talk"), 1),
            QStringLiteral("Click here to Talk (1 missed call)"));
  rig.window->ShowMissedCalls();
  EXPECT_NE(VisibleWindow<QWidget>("missedCallsDialog"), nullptr);
}

TEST(MainWindow, StatisticsCountTheWholeRunIn64BitsAndRefreshWhileOpen) {
  WindowRig rig;
  const auto bytes = [&](uint32_t code, uint32_t amount) {
    rig.Post(code, new ByteCountRecord{FakeConnection(1), amount});
  };
  rig.StartCall(FakeConnection(1), "bob");
  bytes(EV_BYTES_SENT, 4000000000u);
  ASSERT_TRUE(WaitForGui([&] { return rig.calls->BytesSent() == 4000000000u; }));
  rig.window->ShowStatistics();
  auto* stats = VisibleWindow<StatisticsDialog>("statisticsDialog");
  ASSERT_NE(stats, nullptr);
  EXPECT_EQ(stats->Shown(1), QStringLiteral("4000000000"));
  EXPECT_EQ(stats->Shown(0), QStringLiteral("0"));

  // The next call adds on: past 32 bits, and refreshed while open.
  rig.calls->HangUp();
  rig.calls->ConfirmHangUp(true);
  ASSERT_TRUE(WaitForGui([&] { return rig.calls->State() == CallState::kListening; }));
  rig.StartCall(FakeConnection(2), "carol");
  bytes(EV_BYTES_SENT, 4000000000u);
  bytes(EV_BYTES_RECEIVED, 13);
  rig.Deliver(EV_PACKET_GAP, new PacketGapRecord{FakeConnection(2), 3});
  ASSERT_TRUE(WaitForGui([&] { return stats->Shown(1) == QStringLiteral("8000000000"); }));
  EXPECT_EQ(stats->Shown(0), QStringLiteral("13"));
  EXPECT_EQ(stats->Shown(2), QStringLiteral("3"));
}

TEST(MainWindow, ClosingHidesToTheTrayOrMinimisesWithout) {
  {
    WindowRig rig(/*useTray=*/true);
    rig.StartCall(FakeConnection(1), "bob");
    rig.window->close();
    EXPECT_FALSE(rig.window->isVisible());
    EXPECT_EQ(rig.calls->State(), CallState::kInCall);  // the call goes on
    auto* info = VisibleWindow<TrayInfoDialog>("trayInfoDialog");
    ASSERT_NE(info, nullptr);
    info->DontShowBox()->click();
    EXPECT_EQ(ReadDword(*rig.settings, keys::kDontShowDlgOnMinimize), 1u);
    info->close();
    rig.window->Wake();
    EXPECT_TRUE(rig.window->isVisible());
    rig.window->close();
    QCoreApplication::processEvents();
    EXPECT_EQ(VisibleWindow<QWidget>("trayInfoDialog"), nullptr);  // asked not to show again
  }
  {
    WindowRig rig(/*useTray=*/false);
    rig.window->close();
    EXPECT_TRUE(rig.window->isVisible());
    EXPECT_TRUE(rig.window->isMinimized());
  }
}

TEST(SingleInstance, ALaterStartWakesTheFirst) {
  ScratchDir dir;
  const QString name = SingleInstanceName(QString::fromStdString(dir.Path()));
  EXPECT_NE(name, SingleInstanceName(QString::fromStdString(dir.Path() + "/other")));
  SingleInstance first(name);
  ASSERT_TRUE(first.Claim());
  QSignalSpy wakes(&first, &SingleInstance::wakeUp);
  // The second start's connect and write complete once the first serves its
  // socket, as its event loop does; here another thread plays the second.
  bool claimed = true;
  std::thread second([&] {
    SingleInstance later(name);
    claimed = later.Claim();
  });
  ASSERT_TRUE(WaitForGui([&] { return wakes.count() == 1; }));
  second.join();
  EXPECT_FALSE(claimed);
}

}  // namespace
}  // namespace dialvo::test
