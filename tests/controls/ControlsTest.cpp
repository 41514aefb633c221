// The reusable controls, driven as the user would: clicks, keys, resizes and
// the controls' own timers with short periods.
#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <cstdint>
#include <ostream>
#include <vector>

#include "controls/DelayMessageBox.h"
#include "controls/LevelDisplay.h"
#include "controls/LinkLabel.h"
#include "controls/NotifyPopup.h"
#include "controls/PaneStatusBar.h"

// Readable failure messages for the Qt values compared below.
void PrintTo(const QPoint& point, std::ostream* out) { *out << point.x() << ',' << point.y(); }
void PrintTo(const QRect& rect, std::ostream* out) {
  *out << rect.width() << 'x' << rect.height() << '+' << rect.x() << '+' << rect.y();
}
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace dialvo {
namespace {

// ---- NotifyPopup

// Where a note is; empty once it deleted itself.
QRect Place(const QPointer<NotifyPopup>& popup) {
  const NotifyPopup* alive = popup.data();
  return alive != nullptr ? alive->geometry() : QRect();
}

TEST(ControlsNotifyPopup, NotesStackUpwardShowPlainTextAndCloseByThemselves) {
  ASSERT_EQ(NotifyPopup::OpenCount(), 0);
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();

  QPointer<NotifyPopup> first = NotifyPopup::Show(QStringLiteral("<b>x</b>"), 200, 50, 300);
  QPointer<NotifyPopup> second = NotifyPopup::Show(QStringLiteral("two"), 200, 50, 900);
  QPointer<NotifyPopup> third = NotifyPopup::Show(QStringLiteral("three"), 200, 60, 900);
  EXPECT_EQ(NotifyPopup::OpenCount(), 3);
  EXPECT_EQ(Place(first).bottomRight(), area.bottomRight());
  EXPECT_EQ(Place(second).bottomRight(), Place(first).topRight() - QPoint(0, 1));
  EXPECT_EQ(Place(third).bottomRight(), Place(second).topRight() - QPoint(0, 1));
  EXPECT_EQ(Place(third).height(), 60);

  ASSERT_FALSE(first.isNull());
  const auto* text = first.data()->findChild<QLabel*>(QStringLiteral("notifyPopupText"));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->textFormat(), Qt::PlainText);
  EXPECT_EQ(text->text(), QStringLiteral("<b>x</b>"));

  // The lowest note goes first; the others stay put and the next one still
  // goes above the topmost.
  const QRect secondPlace = Place(second);
  ASSERT_TRUE(QTest::qWaitFor([&] { return first.isNull(); }, 2000));
  EXPECT_EQ(NotifyPopup::OpenCount(), 2);
  EXPECT_EQ(Place(second), secondPlace);
  QPointer<NotifyPopup> fourth = NotifyPopup::Show(QStringLiteral("four"), 200, 50, 900);
  EXPECT_EQ(Place(fourth).bottom(), Place(third).top() - 1);

  // A click closes a note at once.
  QTest::mouseClick(second.data(), Qt::LeftButton);
  EXPECT_EQ(NotifyPopup::OpenCount(), 2);
  ASSERT_TRUE(QTest::qWaitFor([&] { return second.isNull(); }, 1000));

  ASSERT_TRUE(QTest::qWaitFor([&] { return third.isNull() && fourth.isNull(); }, 2000));
  EXPECT_EQ(NotifyPopup::OpenCount(), 0);
}

// ---- DelayMessageBox

struct CountDown {
  explicit CountDown(int seconds)
      : box(QStringLiteral("Title"), QStringLiteral("<i>gone</i>"), seconds),
        ok(box.findChild<QPushButton*>(QStringLiteral("delayMessageOk"))),
        finished(&box, &QDialog::finished) {
    box.SetTickMs(40);
  }
  DelayMessageBox box;
  QPushButton* ok;
  QSignalSpy finished;
};

TEST(ControlsDelayMessageBox, CountsDownToAnAcceptedTimeOutAndOkBeforeZeroIsNone) {
  CountDown countDown(3);
  ASSERT_NE(countDown.ok, nullptr);
  EXPECT_EQ(countDown.ok->text(), QStringLiteral("OK (3)"));
  const auto* text = countDown.box.findChild<QLabel*>(QStringLiteral("delayMessageText"));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->textFormat(), Qt::PlainText);

  countDown.box.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return countDown.box.SecondsLeft() < 3; }, 1000));
  if (countDown.box.SecondsLeft() > 0) {
    EXPECT_EQ(countDown.ok->text(), QStringLiteral("OK (%1)").arg(countDown.box.SecondsLeft()));
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return countDown.finished.count() == 1; }, 1000));
  EXPECT_TRUE(countDown.box.TimedOut());
  EXPECT_EQ(countDown.box.result(), QDialog::Accepted);
  EXPECT_FALSE(countDown.box.isVisible());

  CountDown early(2);
  early.box.open();
  QTest::mouseClick(early.ok, Qt::LeftButton);
  ASSERT_EQ(early.finished.count(), 1);
  EXPECT_EQ(early.box.result(), QDialog::Accepted);
  // The count stopped with the box: nothing turns it into a time-out later.
  QTest::qWait(150);
  EXPECT_EQ(early.finished.count(), 1);
  EXPECT_FALSE(early.box.TimedOut());
}

// ---- LinkLabel

// Takes the place of the desktop's handler for mailto: URLs.
class UrlCatcher : public QObject {
  Q_OBJECT

 public:
  UrlCatcher() { QDesktopServices::setUrlHandler(QStringLiteral("mailto"), this, "Open"); }
  ~UrlCatcher() override { QDesktopServices::unsetUrlHandler(QStringLiteral("mailto")); }
  std::vector<QUrl> opened;

 public slots:
  void Open(const QUrl& url) { opened.push_back(url); }
};

TEST(ControlsLinkLabel, ClickTabAndEnterActivateAndOpenTheUrl) {
  UrlCatcher catcher;
  QWidget window;
  auto* edit = new QLineEdit(&window);
  auto* link = new LinkLabel(QStringLiteral("Write to support"), &window);
  auto* layout = new QVBoxLayout(&window);
  layout->addWidget(edit);
  layout->addWidget(link);
  window.show();
  QApplication::setActiveWindow(&window);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  QSignalSpy activated(link, &LinkLabel::activated);

  QTest::mouseClick(link, Qt::LeftButton);
  EXPECT_EQ(activated.count(), 1);
  EXPECT_TRUE(catcher.opened.empty());
  // Pressed on the link but let go beside it: no click.
  QTest::mousePress(link, Qt::LeftButton, {}, QPoint(2, 2));
  QTest::mouseRelease(link, Qt::LeftButton, {}, QPoint(-5, link->height() + 5));
  EXPECT_EQ(activated.count(), 1);

  const QUrl mail(QStringLiteral("mailto:support@localhost"));
  link->SetUrl(mail);
  edit->setFocus();
  QTest::keyClick(edit, Qt::Key_Tab);
  ASSERT_TRUE(link->hasFocus());
  QTest::keyClick(link, Qt::Key_Return);
  EXPECT_EQ(activated.count(), 2);
  ASSERT_EQ(catcher.opened.size(), 1u);
  EXPECT_EQ(catcher.opened[0], mail);
  QTest::keyClick(link, Qt::Key_Space);
  EXPECT_EQ(activated.count(), 3);
  EXPECT_EQ(catcher.opened.size(), 2u);
  EXPECT_TRUE(link->font().underline());
}

// ---- PaneStatusBar

TEST(ControlsPaneStatusBar, PanesKeepTheirThirdsAndTheirWholeTexts) {
  PaneStatusBar bar;
  const QString address = QStringLiteral("Connected to 192.0.2.7:1720 as <b>alice</b>");
  bar.SetPaneText(0, address);
  bar.SetPaneText(1, QStringLiteral("Online"));
  const int fits = 3 * bar.fontMetrics().horizontalAdvance(address) + 150;

  for (int width : {300, fits, 301}) {
    SCOPED_TRACE(width);
    bar.resize(width, bar.sizeHint().height());
    bar.show();
    const QWidget* row = bar.Pane(0)->parentWidget();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return row->width() > width - 40 && row->width() <= width; }, 1000));
    const int third = row->width() / 3;
    EXPECT_EQ(bar.Pane(0)->geometry(), QRect(0, 0, third, row->height()));
    EXPECT_EQ(bar.Pane(1)->geometry(), QRect(third, 0, third, row->height()));
    EXPECT_EQ(bar.Pane(2)->geometry(),
              QRect(2 * third, 0, row->width() - 2 * third, row->height()));
    EXPECT_EQ(bar.PaneText(0), address);
    EXPECT_EQ(bar.Pane(0)->text() == address, width == fits);
    EXPECT_EQ(bar.Pane(0)->toolTip().isEmpty(), width == fits);  // a cut text shows whole there
  }
  EXPECT_EQ(bar.Pane(0)->textFormat(), Qt::PlainText);
  EXPECT_EQ(bar.Pane(1)->text(), QStringLiteral("Online"));
  EXPECT_EQ(bar.Pane(3), nullptr);
}

// ---- LevelDisplay

TEST(ControlsLevelDisplay, SettersOnlyMarkTheTimerRepaintsOncePerPeriodAndPeaksAreHeld) {
  LevelDisplay display;
  display.SetRefreshMs(60 * 60 * 1000);
  display.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&display));
  ASSERT_TRUE(QTest::qWaitFor([&] { return display.RepaintCount() > 0; }, 1000));
  QTest::qWait(20);

  // However many changes come in, none paints by itself.
  const int before = display.RepaintCount();
  for (int i = 0; i < 1000; ++i) {
    display.SetCaptureLevel(i * 30);
    display.SetPlayLevel(32767 - i * 30);
    if (i % 100 == 0) QCoreApplication::processEvents();
  }
  QTest::qWait(30);
  EXPECT_EQ(display.RepaintCount(), before);

  // The next tick paints them once; without further changes nothing more.
  display.SetRefreshMs(10);
  ASSERT_TRUE(QTest::qWaitFor([&] { return display.RepaintCount() == before + 1; }, 1000));
  QTest::qWait(60);
  EXPECT_EQ(display.RepaintCount(), before + 1);

  // A steady stream of changes still gets painted, at most once per period.
  display.SetRefreshMs(25);
  QElapsedTimer clock;
  clock.start();
  const int streamStart = display.RepaintCount();
  for (int i = 0; clock.elapsed() < 250; ++i) {
    display.SetCaptureLevel(i % 2 == 0 ? 1000 : 2000);
    QCoreApplication::processEvents();
  }
  const int painted = display.RepaintCount() - streamStart;
  EXPECT_GE(painted, 1);
  EXPECT_LE(painted, static_cast<int>(clock.elapsed() / 25) + 1);

  display.SetCaptureLevel(40000);
  display.SetPlayLevel(-5);
  EXPECT_EQ(display.CaptureLevel(), 32767);
  EXPECT_EQ(display.PlayLevel(), 0);
  display.Reset();
  EXPECT_EQ(display.CaptureLevel(), 0);

  // A block's peak is its largest magnitude.
  const int16_t samples[] = {3, -7, 5, -32768, 32767, 0};
  EXPECT_EQ(BlockPeak(samples, 0), 0);
  EXPECT_EQ(BlockPeak(samples, 3), 7);
  EXPECT_EQ(BlockPeak(samples + 3, 1), 32767);
  EXPECT_EQ(BlockPeak(samples, 6), 32767);
  EXPECT_EQ(BlockPeak(nullptr, 0), 0);
  EXPECT_LT(LevelDisplay::MeterFraction(100), LevelDisplay::MeterFraction(1000));
  EXPECT_EQ(LevelDisplay::MeterFraction(32767), 1.0);
  EXPECT_EQ(LevelDisplay::MeterFraction(20), 0.0);  // below the meter's floor
}

}  // namespace
}  // namespace dialvo

#include "ControlsTest.moc"
