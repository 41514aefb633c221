#pragma once
// The calls as the user sees them: the engine's life (one engine per call,
// replaced after each), Talk, Conference and Hang Up, the connect attempt,
// the decisions on callers, the conference list and the reaction to every
// engine event. A QObject without widgets: windows show its state through
// its signals and forward the user's actions to its slots.
//
// Nothing here blocks the GUI thread. A connect runs on its own thread; an
// engine that is replaced is stopped and deleted on a retiring thread, after
// its connect has been cancelled and joined, and the next engine is built
// only once the old one has let go of the port.
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/ConferenceModel.h"
#include "app/EngineBridge.h"
#include "base/Tick.h"
#include "engine/CallRequest.h"
#include "engine/EngineConfig.h"
#include "engine/EventSink.h"
#include "engine/INetCore.h"
#include "engine/IncomingRequest.h"
#include "service/ServiceAnswers.h"
#include "settings/SettingsStore.h"

namespace dialvo {

class ConversationRecorder;

// Builds the engines; tests give fakes.
class EngineFactory {
 public:
  virtual ~EngineFactory() = default;
  struct Made {
    std::unique_ptr<INetCore> engine;
    uint16_t port = 0;  // the port it listens on; 0 when it could not bind
  };
  virtual Made Create(uint16_t port, EventSink* sink, const std::string& userName) = 0;
};

// The real engine, with a base configuration (sound backend, waits).
class NetCoreFactory final : public EngineFactory {
 public:
  explicit NetCoreFactory(EngineConfig base = {}) : base_(std::move(base)) {}
  Made Create(uint16_t port, EventSink* sink, const std::string& userName) override;

 private:
  const EngineConfig base_;
};

// The program's own sounds; tests record them.
class CallSounds {
 public:
  virtual ~CallSounds() = default;
  virtual void Play(const char* name, bool loop) = 0;
  // Starts name unless a sound is playing already.
  virtual void PlayUnlessPlaying(const char* name) = 0;
  virtual void Stop() = 0;
  // The short 700 Hz note of a busy callee and a caller at the conference.
  virtual void Beep() = 0;
};

enum class CallState {
  kStarting,    // no engine yet
  kListening,   // idle, waiting for callers
  kConnecting,  // Talk: a call is being placed
  kRinging,     // the callee reported that it rings
  kInCall,
  kIncoming,   // the incoming-call dialog is open
  kBindError,  // the listening port could not be bound
  kStopped,    // after Shutdown
};

// Which page of the main window's page area a call is placed from.
enum class CallPage { kLogin, kOnline, kBuddies, kConnectByIp };

struct MissedCall {
  QString callerName;
  QDateTime when;
};

// What a call report is made of, taken on the GUI thread: the call, and a
// copy of the conference list's rows.
struct CallReportData {
  QString conferenceGuid;   // the engine's session identifier
  uint64_t generation = 0;  // which engine, and so which call
  std::vector<PeerStats> rows;
};

class CallController final : public QObject {
  Q_OBJECT
 public:
  struct Options {
    uint16_t listeningPort = 1720;  // 0: any free port, kept for later engines
    // The count-down step of the incoming-call dialog and the unit of the
    // conference pop-up's display time (ring time × tick).
    int ringTickMs = 1000;
    // The call-status tick: the duration display, every 10th tick the
    // congestion check, every 300th an interim call report.
    int statusTickMs = 1000;
    // Tick counts of the rows (join, last round trip); the system clock
    // when null. Must outlive the controller.
    Clock* clock = nullptr;
    // Where a call being recorded is written until it is saved; empty: no
    // recording.
    std::filesystem::path recordingTemporaryDirectory;
  };

  // Finds an online buddy's record by exact name (the presence service's
  // online list); false when the buddy is not online.
  using BuddyLookup = std::function<bool(const std::string& name, OnlineBuddy& record)>;

  CallController(const Options& options, std::shared_ptr<EngineFactory> factory,
                 std::shared_ptr<CallSounds> sounds, std::shared_ptr<SettingsStore> settings,
                 QObject* parent = nullptr);
  ~CallController() override;

  // Builds the first engine.
  void Start();
  // Hangs up, turns away callers, cancels a connect and stops the engine;
  // shutdownFinished follows once every engine thread is done.
  void Shutdown();

  // No engine thread of the controller's is left (after Shutdown: all done).
  bool Idle() const { return !retiring_ && !connectThread_.joinable() && slot_.engine == nullptr; }

  CallState State() const { return state_; }
  bool TalkVisible() const { return state_ != CallState::kInCall; }
  bool HangUpVisible() const { return state_ == CallState::kInCall; }
  bool ConferenceVisible() const { return state_ == CallState::kInCall; }
  bool ConnectInProgress() const { return connectInProgress_; }
  bool CallInProgress() const;
  uint16_t ListeningPort() const { return port_; }
  QString PaneText(int pane) const { return panes_[pane]; }
  QString Title() const;
  ConferenceModel& Conference() { return conference_; }
  // Newest first.
  const std::deque<MissedCall>& MissedCalls() const { return missed_; }
  QStringList IpHistory() const;
  uint64_t BytesSent() const { return bytesSent_; }
  uint64_t BytesReceived() const { return bytesReceived_; }
  uint64_t LostPackets() const { return lostPackets_; }
  // The engine of this generation is (still) the controller's; 0: none.
  uint64_t EngineGeneration() const { return slot_.generation; }
  bool LoggedIn() const { return loggedIn_; }

  // The user name the engine tells peers ("UNKNOWN" while logged out).
  void SetLoggedIn(bool loggedIn, const QString& userName);
  void SetBuddyLookup(BuddyLookup lookup) { buddyLookup_ = std::move(lookup); }
  // The conference row of a peer by user name; -1 when none.
  int RowOfPeer(const QString& name) const;
  // The process-wide count of call-status ticks.
  uint32_t TickCount() const { return tickCount_; }
  // The Rec box: usable only while a call is up.
  bool RecordingAllowed() const {
    return state_ == CallState::kInCall && !options_.recordingTemporaryDirectory.empty();
  }
  bool Recording() const { return recording_; }

  // Lends the listening port to the connectivity test: the engine is stopped
  // (a recording saved) and none is built until ReturnPort; then runs.
  void LendPort(std::function<void()> then);
  // Listens again after LendPort.
  void ReturnPort();
  bool PortLent() const { return portLent_; }
  // The network settings moved the listening port: the engine is rebuilt on
  // it (not during a call; the settings refuse to change then).
  void ChangeListeningPort(uint16_t port);

  // An engine event as the window receives it (public for tests).
  void OnEngineEvent(const EngineEventPtr& event);

 protected:
  bool event(QEvent* event) override;

 public slots:
  // The call buttons. page is the page shown in the page area; address the
  // connect page's text, or on the online page the selected buddy's name
  // (empty when none is selected).
  void Talk(dialvo::CallPage page, const QString& address);
  void AddToConference(dialvo::CallPage page, const QString& address);
  void HangUp();
  void ConfirmHangUp(bool yes);
  void CancelConnect();
  // The incoming-call dialog's answer.
  void AnswerIncoming(bool accept);
  // A conference pop-up's answer (also when it closes undecided: false).
  void AnswerConference(int id, bool accept);
  // Disconnect User on a row of the conference list.
  void DisconnectUser(int row);
  // The Rec box (the window checked the recordings directory first).
  void SetRecording(bool on);

 signals:
  void stateChanged();
  void paneChanged(int pane, const QString& text);
  void titleChanged(const QString& title);
  // A modal note with an OK button; title empty means the program's name.
  void message(const QString& title, const QString& text, bool error);
  void askHangUp();
  void notify(const QString& text);
  void connectProgressOpened(const QString& text);
  void connectProgressText(const QString& text);
  void connectProgressClosed();
  void connectFailed();
  void selectBuddyFirst();
  void incomingCall(const QString& callerName, int seconds);
  void incomingCountdown(int secondsLeft);
  void incomingClosed();
  void conferenceRequest(int id, const QString& callerName);
  void conferenceRequestClosed(int id);
  void captureLevel(int peak);
  void playLevel(int peak);
  void levelsReset();
  void raiseWindow();
  void missedCall(const QString& callerName);
  void ipHistoryChanged(const QStringList& history);
  void statisticsChanged();
  // The peers of the call changed (joined or left): the call report's cue.
  // Also every 300th status tick during a call (an interim report).
  void callReport(const dialvo::CallReportData& report);
  void shutdownFinished();
  // A call came up (the first peer joined).
  void callStarted();
  // The Rec box is usable (a call is up) or not; recording is off again.
  void recordingAllowedChanged(bool allowed);
  // A recorded call was saved (path: where), or could not be (path: the
  // temporary file that keeps it; error: why).
  void recordingSaved(bool ok, const QString& path, const QString& error);

 private:
  struct Slot {
    uint64_t generation = 0;
    std::shared_ptr<EngineBridge> bridge;
    std::unique_ptr<EventSink> sink;
    std::unique_ptr<INetCore> engine;
  };
  struct Pending {
    int id = 0;
    bool incomingDialog = false;
    std::shared_ptr<IncomingRequest> request;
    QTimer* timer = nullptr;  // count-down or display time
    int secondsLeft = 0;
  };

  void SetState(CallState state);
  void SetPane(int pane, const QString& text);
  // Builds an engine listening on port_; with buttonsAndStatus the window
  // shows the idle state.
  bool StartListening(bool buttonsAndStatus);
  // Hands the engine to a retiring thread; then runs next (with restart:
  // listening again first).
  void Reset(bool restart, std::function<void()> next = {});
  void OnRetired();
  // On the retiring thread, after the engine stopped: stores a recorded
  // call under the recordings directory (recordingSaved tells how).
  void SaveRecording(ConversationRecorder* recorder, const std::filesystem::path& directory);
  // Answers every caller still waiting with a rejection and closes their
  // dialog or pop-up.
  void RejectAllPending();
  void Decide(Pending& pending, uint32_t decision);
  Pending* FindPending(int id);
  void RemovePending(int id);

  // Connect procedure: reads the destination; false (after a message) when
  // there is none.
  bool PrepareConnect(CallPage page, const QString& address, CallRequest& request,
                      QString& progressText);
  // True (after the message) while a connect runs.
  bool RefuseSecondConnect();
  void RunConnect(std::unique_ptr<CallRequest> request, const QString& progressText, bool talk);
  void OnConnectDone(uint64_t generation, bool talk);
  void JoinConnectThread();

  void OnIncoming(const std::shared_ptr<IncomingRequest>& request);
  void OnConferenceRequest(const std::shared_ptr<IncomingRequest>& request);
  void IncomingTick();
  void CallStarted();
  void StatusTick();
  // Emits callReport with the conference list's rows, or with rows.
  void ReportCall(const std::vector<PeerStats>* rows = nullptr);
  void ShowCongestion();

  bool IsCurrent(const PostedEngineEvent& event) const;
  bool IsCurrentAndActive(const PostedEngineEvent& event) const;
  void HandleEvent(PostedEngineEvent& event);
  void EndConnectAttempt();
  uint32_t Popup(const char* key) const;

  const Options options_;
  const std::shared_ptr<EngineFactory> factory_;
  const std::shared_ptr<CallSounds> sounds_;
  const std::shared_ptr<SettingsStore> settings_;

  CallState state_ = CallState::kStarting;
  uint16_t port_;
  QString panes_[3];
  bool loggedIn_ = false;
  std::string userName_ = "UNKNOWN";

  uint64_t nextGeneration_ = 1;
  Slot slot_;
  uint64_t currentCallGeneration_ = 0;  // the engine whose call is up; 0: none
  bool bindFailed_ = false;
  bool portLent_ = false;

  // Retiring: one engine at a time is stopped off the GUI thread.
  std::thread retireThread_;
  bool retiring_ = false;
  std::vector<std::function<void()>> afterRetire_;
  bool shuttingDown_ = false;

  // Connect attempt (Talk or Conference).
  bool connectInProgress_ = false;
  std::unique_ptr<CallRequest> request_;
  std::thread connectThread_;
  int progressState_ = -1;  // -1 closed, 0 connecting, 1 ringing, 2 cancel asked, 3 failed
  bool progressCancelled_ = false;

  std::vector<Pending> pending_;
  int nextPendingId_ = 1;
  bool hangUpAsked_ = false;
  bool recording_ = false;

  ConferenceModel conference_;
  std::vector<std::pair<uintptr_t, QString>> peerNames_;
  std::deque<MissedCall> missed_;
  uint64_t bytesSent_ = 0;
  uint64_t bytesReceived_ = 0;
  uint64_t lostPackets_ = 0;
  Clock& clock_;
  BuddyLookup buddyLookup_;
  QElapsedTimer callTimer_;  // monotonic: the duration survives clock changes
  QTimer statusTick_;
  uint32_t tickCount_ = 0;
};

}  // namespace dialvo
