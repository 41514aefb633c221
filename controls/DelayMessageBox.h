#pragma once
#include <QDialog>
#include <QTimer>

class QHBoxLayout;
class QLabel;
class QPushButton;

namespace dialvo {

// A message box that closes itself: its OK button counts the seconds down
// ("OK (3)", "OK (2)", ...) and at 0 the box closes as accepted with
// TimedOut() true. OK before that accepts with TimedOut() false; Escape or
// the window's close button reject. The count starts when the box is shown
// (show() or open(); it emits finished like any dialog).
class DelayMessageBox : public QDialog {
  Q_OBJECT

 public:
  // A count below 0 counts as 0: the box then closes at the first tick.
  // A "%d" in the title shows the seconds left.
  DelayMessageBox(const QString& title, const QString& text, int seconds,
                  QWidget* parent = nullptr);

  // A further button after OK that closes the box with result (which should
  // differ from QDialog::Accepted and Rejected).
  QPushButton* AddButton(const QString& text, int result);
  // Length of one count-down step in milliseconds (default 1000).
  void SetTickMs(int ms);
  bool TimedOut() const { return timedOut_; }
  int SecondsLeft() const { return remaining_; }

  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Tick();
  void UpdateButton();

  QString title_;  // may hold %d for the seconds left
  QLabel* text_;
  QPushButton* ok_;
  QHBoxLayout* buttons_;
  QTimer ticker_;
  int remaining_;
  const int seconds_;
  bool timedOut_ = false;
};

}  // namespace dialvo
