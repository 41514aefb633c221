#pragma once
// The Network Settings, Program Settings and connectivity test dialogs.
// They show values and forward the user's actions; the checks live in
// SettingsForms and the test run in ConnectivityController. Every message
// they raise is window-modal and non-blocking, so OK's steps follow one
// another through the boxes' finished signals.
#include <QDialog>
#include <QPointer>
#include <QStringList>
#include <memory>

#include "app/AudioTestController.h"
#include "app/ConnectivityController.h"
#include "app/MixerController.h"
#include "app/SettingsForms.h"
#include "controls/WaveformView.h"
#include "settings/SettingsStore.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QStackedWidget;

namespace dialvo {

class NetworkSettingsDialog final : public QDialog {
  Q_OBJECT
 public:
  // hostNames: what the private-network address list offers (the
  // computer's name and its addresses).
  NetworkSettingsDialog(std::shared_ptr<SettingsStore> settings, const QStringList& hostNames,
                        QWidget* parent = nullptr);

  // After OK: one of the two "Apply Settings and ..." buttons was used.
  bool TestRequested() const { return testRequested_; }
  // What was saved (valid after OK) and what was there before.
  const NetworkSettings& Saved() const { return saved_; }
  const NetworkSettings& Before() const { return before_; }
  NetworkSettingsValues Values() const;

 public slots:
  void Ok();
  void OkAndTest();

 signals:
  // A context help page of the service.
  void helpRequested(const QString& id);

 private:
  QWidget* BuildDirectPane();
  QWidget* BuildFirewallPane();
  QWidget* BuildPrivatePane();
  void ShowChoice(int choice);
  void UpdateEnabled();
  // OK's steps after the checks.
  void Refuse(const QString& text);
  void AskSameAddress();
  void ShowFirewallInformation();
  void ShowPrivateNote();
  void Save();

  const std::shared_ptr<SettingsStore> settings_;
  NetworkSettings before_;
  NetworkSettings saved_;
  NetworkOkPlan plan_;
  bool testRequested_ = false;

  QCheckBox* alternatePort_ = nullptr;
  QLineEdit* port_ = nullptr;
  QCheckBox* useProxy_ = nullptr;
  QLineEdit* proxyName_ = nullptr;
  QLineEdit* proxyPort_ = nullptr;
  QButtonGroup* choices_ = nullptr;
  QRadioButton* radios_[3] = {};
  QStackedWidget* panes_ = nullptr;
  QCheckBox* autoDetect_ = nullptr;
  QLineEdit* firewallAddress_ = nullptr;
  QCheckBox* lanCalls_ = nullptr;
  QComboBox* lanAddress_ = nullptr;
};

class ProgramSettingsDialog final : public QDialog {
  Q_OBJECT
 public:
  ProgramSettingsDialog(std::shared_ptr<SettingsStore> settings, ProgramSettingsEnv env,
                        QWidget* parent = nullptr);
  ProgramSettingsValues Values() const;

 public slots:
  void Ok();
  void Browse();

 signals:
  void helpRequested(const QString& id);

 private:
  const std::shared_ptr<SettingsStore> settings_;
  const ProgramSettingsEnv env_;
  QCheckBox* autoStart_ = nullptr;
  QLineEdit* ringTime_ = nullptr;
  QCheckBox* autoMixer_ = nullptr;
  QLineEdit* directory_ = nullptr;
  QCheckBox* popupOnline_ = nullptr;
  QCheckBox* popupCongestion_ = nullptr;
  QCheckBox* popupJoinLeave_ = nullptr;
};

class ConnectivityTestDialog final : public QDialog {
  Q_OBJECT
 public:
  ConnectivityTestDialog(ConnectivityController& test,
                         const ConnectivityController::Opening& opening, QWidget* parent = nullptr);
  ~ConnectivityTestDialog() override;

  QStringList LogLines() const;

 public slots:
  // Escape and the close box: a run is aborted, then the dialog goes.
  void reject() override;

 signals:
  void helpRequested(const QString& id);

 private:
  void SetRunning(bool running);
  void ShowResult(int box, const QString& title, const QString& text);

  // The controller outlives the dialog except while the window goes away.
  QPointer<ConnectivityController> test_;
  QListWidget* log_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* abort_ = nullptr;
  QPushButton* close_ = nullptr;
};

// "Test your Audio Settings": the captured sound as a waveform, "Play what I
// speak", and the three volume sliders of the main window.
class AudioTestDialog final : public QDialog {
  Q_OBJECT
 public:
  AudioTestDialog(AudioTestController& test, MixerController* mixer, QWidget* parent = nullptr);
  ~AudioTestDialog() override;
  WaveformView* Waveform() const { return waveform_; }

 private:
  QPointer<AudioTestController> test_;
  WaveformView* waveform_ = nullptr;
  QLabel* status_ = nullptr;
};

// The computer's name and its network addresses, for the private-network
// address list.
QStringList LocalHostNames();

}  // namespace dialvo
