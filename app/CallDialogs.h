#pragma once
// The small windows of a call: the incoming-call dialog, the connect
// progress window, the connect-failed dialog, the conference request
// pop-up, the note shown when the window goes to the tray, and the small
// browser window for the service's pages. They show what they are given and
// report the user's choice; the call controller decides.
#include <QDialog>
#include <QMessageBox>
#include <QUrl>
#include <QWidget>

class QLineEdit;
class QLabel;
class QCheckBox;
class QPushButton;

namespace dialvo {

class IncomingCallDialog final : public QDialog {
  Q_OBJECT
 public:
  IncomingCallDialog(const QString& callerName, int seconds, QWidget* parent = nullptr);
  void SetSecondsLeft(int seconds);
  // Closes without reporting a choice (the controller decided already).
  void Dismiss();

 signals:
  void answered(bool accept);

 protected:
  void done(int result) override;

 private:
  QLineEdit* seconds_;
  bool dismissed_ = false;
};

class ConnectProgressDialog final : public QDialog {
  Q_OBJECT
 public:
  explicit ConnectProgressDialog(const QString& text, QWidget* parent = nullptr);
  void SetText(const QString& text);
  QString Text() const;
  // The attempt is over: the window goes.
  void Finish();

 signals:
  void cancelRequested();

 protected:
  void reject() override;

 private:
  QLabel* text_;
  bool finished_ = false;
  QPushButton* cancel_;
};

class ConnectFailedDialog final : public QDialog {
  Q_OBJECT
 public:
  ConnectFailedDialog(const QUrl& helpPage, QWidget* parent = nullptr);
};

// Frameless, near the notification area, like the other pop-ups.
class ConferenceRequestPopup final : public QWidget {
  Q_OBJECT
 public:
  ConferenceRequestPopup(int id, const QString& callerName, QWidget* parent = nullptr);
  int Id() const { return id_; }
  void ShowNearTray();
  // Closes without reporting a choice.
  void Dismiss();

 signals:
  void answered(int id, bool accept);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void Answer(bool accept);
  const int id_;
  bool done_ = false;
};

// "The program will continue to run in the system tray!" with its check box.
class TrayInfoDialog final : public QDialog {
  Q_OBJECT
 public:
  explicit TrayInfoDialog(QWidget* parent = nullptr);
  QCheckBox* DontShowBox() const { return dontShow_; }

 signals:
  void dontShowToggled(bool on);

 private:
  QCheckBox* dontShow_;
};

// Renders one page's HTML; links open in the user's browser.
class HtmlDialog final : public QDialog {
  Q_OBJECT
 public:
  HtmlDialog(const QString& title, const QString& html, QWidget* parent = nullptr);
};

// A window-modal message box that deletes itself when closed, named for
// tests; finished tells how it ended. Plain text only: messages may carry
// names from the network.
QMessageBox* OpenMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                            const QString& text, const char* name,
                            QMessageBox::StandardButtons buttons = QMessageBox::Ok);

}  // namespace dialvo
