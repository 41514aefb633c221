#pragma once
// The main window: call buttons, page area, conference list, level display,
// the places of the player and volume controls, menus, tray icon and status
// bar. It shows the call controller's state and forwards the user's actions;
// it decides nothing itself.
#include <QMainWindow>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <map>
#include <memory>

#include "app/CallController.h"
#include "app/SettingsForms.h"
#include "audio/SoundBackend.h"
#include "service/ConnectivityTest.h"
#include "service/ServiceRequests.h"

class QComboBox;
class QLabel;
class QPushButton;
class QSlider;
class QTabWidget;
class QTableView;
class QCheckBox;
class QAction;
class QMenu;

namespace dialvo {

class AudioTestController;
class BuddiesPage;
class MixerController;
class MissedCallsDialog;
class MissedCallsModel;
class ConnectivityController;
class ConnectProgressDialog;
class LoginPage;
class OnlinePage;
class PlayerController;
class PresenceController;
class ConferenceRequestPopup;
class IncomingCallDialog;
class LevelDisplay;
class PaneStatusBar;

struct MainWindowOptions {
  QString directoryHost;  // the service's web site (menus), "host[:port]" or URL
  QString instanceGuid;   // the web links' identification of this run
  bool useTray = true;    // false: closing minimises (no system tray)
  // The connectivity test's service, waits and test socket.
  ConnectivityOptions connectivity;
  // Where the program settings reach beyond the settings file.
  ProgramSettingsEnv programSettings;
  // What the private-network address list offers; empty: this computer's
  // name and addresses.
  QStringList hostNames;
  // The volumes; null: the sliders stay disabled (no sound server).
  MixerController* mixer = nullptr;
  // The audio test's devices; null: the process default.
  std::shared_ptr<SoundBackend> sound;
  // The desktop's volume control program; empty: pavucontrol when installed.
  QString volumeControl;
};

class MainWindow final : public QMainWindow {
  Q_OBJECT
 public:
  // presence may be null: then there are no login and buddy pages.
  // player may be null: then the player's buttons stay disabled.
  MainWindow(CallController& calls, PresenceController* presence,
             std::shared_ptr<SettingsStore> settings, MainWindowOptions options,
             QWidget* parent = nullptr, PlayerController* player = nullptr);
  ~MainWindow() override;

  // Comes to the front: shown, restored, raised and activated.
  void Wake();
  // File > Exit and tray Exit: hangs up and quits once the engine is gone.
  void Exit();
  bool ExitRequested() const { return exitRequested_; }
  // The page the page area shows.
  CallPage ActivePage() const;
  PaneStatusBar* StatusPanes() const { return status_; }
  ConnectivityController& Connectivity() { return *connectivity_; }

  // Tools menu, tray menu and the login-failure box.
  void OpenNetworkSettings();
  void OpenProgramSettings();
  void OpenConnectivityTest();
  void ShowMissedCalls();
  void ShowStatistics();
  void OpenAudioTest();
  // The tray icon's menu (also where no tray exists, for tests).
  QMenu* TrayMenu() const { return trayMenu_; }
  MissedCallsModel& MissedCalls() { return *missedModel_; }

 signals:
  void exitFinished();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildMenus();
  void BuildTrayMenu();
  void UpdateTrayMenu();
  void LoginFromTray();
  void BuildTray();
  QString TrayToolTip() const;
  void UpdateTitle();
  QWidget* BuildCallArea();
  QWidget* BuildConnectPage();
  QWidget* BuildPlayerArea();
  void Bind();
  void UpdateButtons();
  void ShowMessage(const QString& title, const QString& text, bool error);
  void AskHangUp();
  void OpenProgress(const QString& text);
  void CloseProgress();
  void OpenIncoming(const QString& name, int seconds);
  void CloseIncoming();
  void OpenConferenceRequest(int id, const QString& name);
  void CloseConferenceRequest(int id);
  void ShowConnectFailed();
  void ShowConferenceMenu(const QPoint& at);
  void OpenWebPage(ServicePage page);
  void OpenContextHelp(const QString& id);
  // After Network Settings closed with OK.
  void NetworkSettingsChanged(const NetworkSettings& before, const NetworkSettings& after,
                              bool test);
  void ShowAbout();
  void ReloadHistory(const QStringList& history);
  void BindPresence();
  void ShowPresencePages(bool loggedIn);
  void ShowNotice(const QString& caption, const QString& text, int seconds, int icon);
  void ShowLoginFailed();
  void AskUserMessage(const QString& text, const QString& url, bool withIcon);
  // The name the call buttons use on the online page, else the address.
  QString CallTarget() const;
  void ExitStepDone();
  void BindRecording();
  void RecClicked(bool on);
  void UpdatePlayer();
  void SetLevelCaption(const QString& text, const QColor& colour);

  CallController& calls_;
  PresenceController* const presence_;
  PlayerController* const player_;
  const std::shared_ptr<SettingsStore> settings_;
  const MainWindowOptions options_;
  bool exitRequested_ = false;

  QPushButton* talk_ = nullptr;
  QPushButton* conference_ = nullptr;
  QPushButton* hangUp_ = nullptr;
  QTabWidget* pages_ = nullptr;
  QComboBox* address_ = nullptr;
  QTableView* conferenceList_ = nullptr;
  LevelDisplay* levels_ = nullptr;
  QLabel* levelCaption_ = nullptr;
  QPushButton* load_ = nullptr;
  QPushButton* play_ = nullptr;
  QPushButton* pause_ = nullptr;
  QPushButton* stop_ = nullptr;
  QPushButton* export_ = nullptr;
  QCheckBox* rec_ = nullptr;
  QSlider* position_ = nullptr;
  PaneStatusBar* status_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QAction* logOff_ = nullptr;
  QWidget* connectPage_ = nullptr;
  LoginPage* loginPage_ = nullptr;
  OnlinePage* onlinePage_ = nullptr;
  BuddiesPage* buddiesPage_ = nullptr;
  int exitStepsLeft_ = 0;
  QTimer exitTimer_;  // the longest an exit waits for the engine and the logoff
  ConnectivityController* connectivity_ = nullptr;
  AudioTestController* audioTest_ = nullptr;
  MissedCallsModel* missedModel_ = nullptr;
  MissedCallsDialog* missedDialog_ = nullptr;
  QMenu* trayMenu_ = nullptr;
  QAction* trayLogin_ = nullptr;
  QAction* trayLogoff_ = nullptr;

  QPointer<ConnectProgressDialog> progress_;
  QPointer<IncomingCallDialog> incoming_;
  std::map<int, QPointer<ConferenceRequestPopup>> conferencePopups_;
};

}  // namespace dialvo
