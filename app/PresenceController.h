#pragma once
// Being online, as the window sees it: login and logoff, the buddy list and
// its uploads, the buddies online with their sounds and notes, the status
// texts, and the call reports. A QObject without widgets over the service
// layer's PresenceClient: the requests run on a worker thread of their own
// and on the client's timer thread; their results come back to the GUI
// thread as posted calls carrying plain values.
#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "app/CallController.h"
#include "app/PresenceModels.h"
#include "app/SerialWorker.h"
#include "service/Presence.h"
#include "settings/SettingsStore.h"

namespace dialvo {

class PresenceController final : public QObject, private PresenceObserver {
  Q_OBJECT
 public:
  struct Options {
    PresenceConfig config;
    // How often a changed buddy list is uploaded.
    int uploadPeriodMs = 60000;
    // How long the logoff at exit may take before the program goes anyway.
    int exitLogoffMs = 3000;
    // Whether Shutdown logs off (the service takes the user off the
    // buddies' lists at once instead of after the keep-alive runs out).
    bool logoffOnExit = true;
  };

  PresenceController(Options options, std::shared_ptr<SettingsStore> settings,
                     CallController& calls, std::shared_ptr<CallSounds> sounds,
                     QObject* parent = nullptr);
  ~PresenceController() override;

  // Starts the keep-alive rounds (the first at once); listeningPort is the
  // port the engine really listens on.
  void Start(uint16_t listeningPort);
  // The engine moved to another port: later requests publish it.
  void SetListeningPort(uint16_t listeningPort);
  // Logs off (bounded), stops every thread; shutdownFinished follows.
  void Shutdown();

  bool LoggedIn() const { return loggedIn_; }
  // Shutdown has finished.
  bool Stopped() const { return stopping_.load(); }
  QString UserName() const { return user_; }
  bool LoginRunning() const { return loginRunning_; }
  OnlineModel& Online() { return online_; }
  BuddyModel& Buddies() { return buddies_; }
  QString OnlineTitle() const;
  // The stored login for the login page: the box, and the fields when set.
  StoredLogin StoredCredentials() const;
  PresenceClient& Client() { return *client_; }

 public slots:
  // The Login button (interactive). autoLogin: the page's box.
  void Login(const QString& user, const QString& password, bool autoLogin);
  // The user unticked "Auto Login": the stored name and password go.
  void ForgetStoredLogin();
  void Logoff();
  // Buddy List > Refresh: one keep-alive round now.
  void Refresh();
  // Buddy list edits (from the buddies page).
  void AddBuddy();
  void DeleteBuddy(const QString& name);
  void EditBuddy(int row, const QString& oldLabel, const QString& newLabel);
  // Sends a call report (a snapshot of this moment).
  void ReportCall(const dialvo::CallReportData& report);
  // Fetches an http(s) page for the small browser window (showPage);
  // anything else is not followed.
  void OpenPage(const std::string& url);

 signals:
  void loggedInChanged(bool loggedIn);
  void paneChanged(int pane, const QString& text);
  void onlineTitleChanged(const QString& title);
  // A message: autoCloseSeconds 0 stays; caption may hold %d (seconds left).
  void notice(const QString& caption, const QString& text, int autoCloseSeconds, int icon);
  void message(const QString& text, bool warning);
  void notify(const QString& text, int displayMs);
  // The "login failed" dialog (service unreachable).
  void loginFailed();
  // The service's note after a login: Yes opens url (may be empty).
  void askUserMessage(const QString& text, const QString& url, bool withIcon);
  void showPage(const QString& html);
  // The buddies page: edit this child (again), or ask before deleting.
  void editBuddy(const QModelIndex& index);
  void confirmDelete(const QString& name);
  void shutdownFinished();

 protected:
  bool event(QEvent* event) override;

 private:
  // PresenceObserver, on the client's threads.
  void PostAppRequest(AppRequest request) override;
  void ShowNotice(const Notice& shown) override;
  void AddressStatusChanged(const AddressStatus& status) override;
  void LoginProgress(uint32_t state) override;
  void LoginFinished(const LoginOutcome& outcome) override;
  void LoggedOut() override;
  void OnlineChanged(const OnlineRefresh& refresh) override;

  void OnLoginFinished(const LoginOutcome& outcome, const std::string& user);
  void OnLoggedOut();
  void OnOnlineChanged(const OnlineRefresh& refresh, const std::vector<OnlineBuddy>& items);
  void UploadIfChanged();
  void SetBuddyNames(const std::vector<std::string>& names, bool changedByUser);
  void FinishShutdown();

  const Options options_;
  const std::shared_ptr<SettingsStore> settings_;
  CallController& calls_;
  const std::shared_ptr<CallSounds> sounds_;
  std::unique_ptr<PresenceClient> client_;
  SerialWorker worker_{"Login Thread"};
  SerialWorker pages_{"Page Thread"};

  bool loggedIn_ = false;
  QString user_;
  bool loginRunning_ = false;
  bool dirty_ = false;
  bool shuttingDown_ = false;
  std::atomic<bool> stopping_{false};  // read by the client's threads
  OnlineModel online_;
  BuddyModel buddies_;
  size_t onlineCount_ = 0;
  QTimer uploadTimer_;
  QTimer exitTimer_;
};

}  // namespace dialvo
