#pragma once
// The connectivity test as the window sees it: whether it may open, its
// texts, Start and Abort, the log and the result. A QObject without
// widgets; the run itself (the service exchange and the wait for the test
// datagram) takes the listening port from the call controller and runs on
// a worker thread, its log lines coming back as posted calls.
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

#include "app/CallController.h"
#include "app/SerialWorker.h"
#include "service/ConnectivityTest.h"
#include "settings/Settings.h"
#include "settings/SettingsStore.h"

namespace dialvo {

class ConnectivityController final : public QObject {
  Q_OBJECT
 public:
  ConnectivityController(CallController& calls, std::shared_ptr<SettingsStore> settings,
                         ConnectivityOptions options, QObject* parent = nullptr);
  ~ConnectivityController() override;

  struct Opening {
    // Not empty: the dialog does not open and this is shown instead.
    QString refusal;
    bool refusalWarning = false;  // with the exclamation icon
    QString title;
    QString description;
    QString connectionLine;
    QString proxyLine;
  };
  // Takes the network settings for the next runs.
  Opening Open();

  bool Running() const { return running_; }
  const QStringList& Log() const { return log_; }

 public slots:
  void Start();
  // Cancels a run; the log says so.
  void Abort();
  // The dialog went away: a run is cancelled, the port comes back when it ends.
  void Closed();

 signals:
  void logCleared();
  void logLine(const QString& line);
  void runningChanged(bool running);
  // The box to show at the end of a run (kind: ConnectivityResult::Box).
  void result(int box, const QString& title, const QString& text);

 protected:
  bool event(QEvent* event) override;

 private:
  void Append(const QString& line);
  void OnFinished(const ConnectivityResult& result);

  CallController& calls_;
  const std::shared_ptr<SettingsStore> settings_;
  const ConnectivityOptions options_;
  NetworkSettings loaded_;
  bool running_ = false;
  bool dialogOpen_ = false;
  QStringList log_;
  // The run in progress; made and cancelled on the GUI thread.
  std::shared_ptr<ConnectivityTest> test_;
  SerialWorker worker_{"Port Forward Dlg - network thread"};
};

}  // namespace dialvo
