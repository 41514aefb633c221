#include "app/CallController.h"

#include <QMetaObject>
#include <algorithm>
#include <chrono>
#include <cstring>

#include "app/ConnectAddress.h"
#include "app/PostedCall.h"
#include "app/SafeText.h"
#include "audio/Recorder.h"
#include "base/Trace.h"
#include "controls/LevelDisplay.h"
#include "engine/NetCore.h"
#include "settings/Settings.h"

namespace dialvo {

namespace {

const char* const kMultimediaError =
    "Multimedia Error\n\n"
    "Please Check the Following.\n"
    "1. Sound card is properly installed in your computer.\n"
    "2. No other program is currently using the sound card.\n"
    "3. Sound card is full duplex. ie, it can play and record simultaneously.\n";

const char* const kUserNotAtAddress =
    "Connection failed since the remote user has manually configured his IP address and have "
    "not logged in from that computer\n. For security reasons, if a user manually configures "
    "his IP address, connection will be made only if he is logged in from that computer";

const char* const kHostNotFound =
    "Cannot resolve the IP address of the computer to connect.\n\n"
    "1. Are you connected to the internet now?\n"
    "2. If you are trying to connect by computer name, please check if you typed the name "
    "incorrectly.\n"
    "3. If you are trying to connect using buddylist, your buddy has configured an invalid "
    "computer name.";

}  // namespace

EngineFactory::Made NetCoreFactory::Create(uint16_t port, EventSink* sink,
                                           const std::string& userName) {
  EngineConfig config = base_;
  config.listeningPort = port;
  auto engine = std::make_unique<NetCore>(config, sink, userName);
  sink->SetEngine(engine.get());
  const uint16_t bound = engine->ListeningPort();
  return {std::move(engine), bound};
}

CallController::CallController(const Options& options, std::shared_ptr<EngineFactory> factory,
                               std::shared_ptr<CallSounds> sounds,
                               std::shared_ptr<SettingsStore> settings, QObject* parent)
    : QObject(parent),
      options_(options),
      factory_(std::move(factory)),
      sounds_(std::move(sounds)),
      settings_(std::move(settings)),
      port_(options.listeningPort),
      clock_(options.clock != nullptr ? *options.clock : SystemClock()) {
  statusTick_.setInterval(options_.statusTickMs);
  connect(&statusTick_, &QTimer::timeout, this, &CallController::StatusTick);
}

CallController::~CallController() {
  for (Pending& p : pending_) p.request->Decide(IncomingRequest::kReject);
  pending_.clear();
  if (request_ != nullptr) request_->cancel.store(1);
  if (connectThread_.joinable()) connectThread_.join();
  if (retireThread_.joinable()) retireThread_.join();
  if (slot_.bridge != nullptr) slot_.bridge->Detach();
  if (slot_.engine != nullptr) slot_.engine->Stop();
  slot_ = {};
}

bool CallController::event(QEvent* event) { return RunPostedCall(event) || QObject::event(event); }

void CallController::Start() {
  SetPane(0, QStringLiteral("Please Login"));
  emit titleChanged(Title());
  StartListening(true);
  statusTick_.start();
}

QString CallController::Title() const {
  return QStringLiteral("Orvanta -") +
         (loggedIn_ ? QString::fromStdString(userName_) : QStringLiteral("Please Login"));
}

bool CallController::CallInProgress() const {
  return slot_.engine != nullptr && slot_.engine->IsActive();
}

QStringList CallController::IpHistory() const {
  QStringList out;
  for (const std::string& entry : LoadIpList(*settings_)) out.append(QString::fromStdString(entry));
  return out;
}

void CallController::SetLoggedIn(bool loggedIn, const QString& userName) {
  loggedIn_ = loggedIn;
  userName_ = loggedIn ? userName.toStdString() : std::string("UNKNOWN");
  if (slot_.engine != nullptr) slot_.engine->SetUserName(userName_);
  emit titleChanged(Title());
}

void CallController::SetState(CallState state) {
  if (state_ == state) return;
  const bool wasAllowed = RecordingAllowed();
  state_ = state;
  if (!RecordingAllowed()) recording_ = false;
  emit stateChanged();
  if (wasAllowed != RecordingAllowed()) emit recordingAllowedChanged(RecordingAllowed());
}

void CallController::SetRecording(bool on) {
  if (on && !RecordingAllowed()) return;
  recording_ = on;
  if (slot_.engine != nullptr) slot_.engine->SetRecording(on);
}

void CallController::SetPane(int pane, const QString& text) {
  panes_[pane] = text;
  emit paneChanged(pane, text);
}

uint32_t CallController::Popup(const char* key) const { return ReadDword(*settings_, key); }

void CallController::LendPort(std::function<void()> then) {
  portLent_ = true;
  Reset(false, std::move(then));
}

void CallController::ReturnPort() {
  if (!portLent_) return;
  portLent_ = false;
  if (!retiring_)
    StartListening(true);
  else
    afterRetire_.emplace_back([this] { StartListening(true); });
}

void CallController::ChangeListeningPort(uint16_t port) {
  if (port == port_ || CallInProgress()) return;
  port_ = port;
  if (!portLent_) Reset(true);
}

bool CallController::StartListening(bool buttonsAndStatus) {
  if (slot_.engine != nullptr || shuttingDown_ || portLent_) return slot_.engine != nullptr;
  Slot slot;
  slot.generation = nextGeneration_++;
  slot.bridge = std::make_shared<EngineBridge>(
      this, slot.generation, [this](const EngineEventPtr& event) { OnEngineEvent(event); });
  slot.sink = std::make_unique<EventSink>(slot.bridge.get());
  if (!options_.recordingTemporaryDirectory.empty()) {
    slot.sink->SetRecorder(
        std::make_shared<ConversationRecorder>(options_.recordingTemporaryDirectory));
  }
  EngineFactory::Made made = factory_->Create(port_, slot.sink.get(), userName_);
  slot.engine = std::move(made.engine);
  // A port picked freely stays the program's port for its later engines.
  if (made.port != 0) port_ = made.port;
  currentCallGeneration_ = 0;
  slot_ = std::move(slot);
  if (buttonsAndStatus) {
    SetState(CallState::kListening);
    SetPane(2, QStringLiteral("Listening UDP Port: %1").arg(port_));
  }
  return true;
}

void CallController::Reset(bool restart, std::function<void()> next) {
  RejectAllPending();
  hangUpAsked_ = false;
  if (request_ != nullptr) request_->cancel.store(1);
  // A connect that the reset cancels is over for the window as well.
  if (connectThread_.joinable()) EndConnectAttempt();
  // A call that ends here (hang up, failure, exit) is reported once more
  // with its final figures: the engine's own leave events are not awaited.
  if (currentCallGeneration_ != 0 && currentCallGeneration_ == slot_.generation &&
      conference_.rowCount() > 0) {
    ReportCall();
  }
  currentCallGeneration_ = 0;
  conference_.Clear();
  peerNames_.clear();
  emit levelsReset();
  if (restart) afterRetire_.emplace_back([this] { StartListening(true); });
  if (next) afterRetire_.push_back(std::move(next));
  if (retiring_) return;  // the engine being retired runs them when it is gone
  if (slot_.engine == nullptr) {
    PostCall(this, [this] { OnRetired(); });
    retiring_ = true;
    return;
  }
  SetState(CallState::kStarting);
  retiring_ = true;
  slot_.bridge->Detach();  // its late events are dropped: callers turned away
  // The connect is cancelled and joined before the engine stops.
  auto old = std::make_shared<Slot>(std::move(slot_));
  slot_ = {};
  std::shared_ptr<CallRequest> request(std::move(request_));
  // The recording is saved once the engine has stopped: no block comes late.
  const std::filesystem::path recordings =
      TrimBlanks(settings_->ReadString(keys::kRecordingsDirectory));
  retireThread_ =
      std::thread([this, old, request, recordings, connect = std::move(connectThread_)]() mutable {
        if (request != nullptr) request->cancel.store(1);
        if (connect.joinable()) connect.join();
        old->engine->Stop();
        SaveRecording(old->sink->Recorder(), recordings);
        old->engine.reset();
        old->sink.reset();
        PostCall(this, [this] { OnRetired(); });
      });
}

void CallController::SaveRecording(ConversationRecorder* recorder,
                                   const std::filesystem::path& directory) {
  if (recorder == nullptr || !recorder->HasRecording()) return;
  std::string error;
  std::filesystem::path saved;
  bool ok = false;
  if (directory.empty()) {
    error = "no recordings directory is set";
  } else {
    ok = recorder->Save(directory / RecordingFileName(std::time(nullptr)), &error, &saved);
  }
  const QString path =
      QString::fromStdString(ok ? saved.string() : recorder->TemporaryPath().string());
  const QString why = QString::fromStdString(error);
  PostCall(this, [this, ok, path, why] { emit recordingSaved(ok, path, why); });
}

void CallController::OnRetired() {
  if (retireThread_.joinable()) retireThread_.join();
  retiring_ = false;
  while (!afterRetire_.empty() && !retiring_) {
    std::function<void()> work = std::move(afterRetire_.front());
    afterRetire_.erase(afterRetire_.begin());
    work();
  }
}

void CallController::Shutdown() {
  if (shuttingDown_) return;
  TraceLog("Closing connections...");
  afterRetire_.clear();
  if (connectInProgress_) EndConnectAttempt();
  Reset(false, [this] {
    TraceLog("All connections closed");
    shuttingDown_ = true;
    SetState(CallState::kStopped);
    emit shutdownFinished();
  });
  shuttingDown_ = true;
}

void CallController::RejectAllPending() {
  while (!pending_.empty()) Decide(pending_.front(), IncomingRequest::kReject);
}

CallController::Pending* CallController::FindPending(int id) {
  for (Pending& p : pending_) {
    if (p.id == id) return &p;
  }
  return nullptr;
}

void CallController::RemovePending(int id) {
  std::erase_if(pending_, [id](const Pending& p) { return p.id == id; });
}

void CallController::Decide(Pending& pending, uint32_t decision) {
  pending.request->Decide(decision);
  if (pending.timer != nullptr) pending.timer->deleteLater();
  const int id = pending.id;
  const bool dialog = pending.incomingDialog;
  RemovePending(id);  // pending is gone from here on
  if (dialog) {
    sounds_->Stop();
    emit incomingClosed();
    if (state_ == CallState::kIncoming) SetState(CallState::kListening);
  } else {
    emit conferenceRequestClosed(id);
  }
}

// ---- Outgoing calls --------------------------------------------------------

bool CallController::PrepareConnect(CallPage page, const QString& address, CallRequest& request,
                                    QString& progressText) {
  switch (page) {
    case CallPage::kConnectByIp: {
      QString error;
      const std::optional<ConnectAddress> parsed = ParseConnectAddress(address, &error);
      if (!parsed) {
        emit message({}, error, false);
        return false;
      }
      if (IsStorableHost(parsed->host)) {
        QStringList history = AddToIpHistory(IpHistory(), parsed->HistoryEntry());
        std::vector<std::string> entries;
        for (const QString& entry : history) entries.push_back(entry.toStdString());
        SaveIpList(*settings_, entries);
        emit ipHistoryChanged(history);
      }
      request.host = parsed->host.toStdString();
      request.port = parsed->port;
      request.confirmUser = 0;
      request.calleeName.clear();
      progressText = QStringLiteral("Connecting to %1 port %2").arg(parsed->host).arg(parsed->port);
      return true;
    }
    case CallPage::kOnline: {
      if (address.isEmpty()) {
        emit message({},
                     QStringLiteral("You have to first select a buddy who is online.\nIf you can "
                                    "see any buddies under the Buddies Online, you may select "
                                    "anyone of them and then click the call button."),
                     false);
        return false;
      }
      OnlineBuddy buddy;
      if (!buddyLookup_ || !buddyLookup_(address.toStdString(), buddy)) {
        emit message({}, QStringLiteral("User is not online"), false);
        return false;
      }
      const QString name = SafeText(buddy.userId);
      if (buddy.address == "LAN") {
        emit message({},
                     QStringLiteral("Cannot connect to ") + name +
                         QStringLiteral("'s computer since it is behind a firewall. Computers "
                                        "behind a firewall cannot be reached. But they can "
                                        "initiate a connection to you."),
                     false);
        return false;
      }
      // A record the service got wrong cannot be called.
      if (buddy.listeningPort < 1 || buddy.listeningPort > 65535 || buddy.address.empty()) {
        emit message({}, QStringLiteral("The port specified is invalid"), false);
        return false;
      }
      request.host = buddy.address;
      request.port = static_cast<uint32_t>(buddy.listeningPort);
      request.calleeName = buddy.userId;
      request.confirmUser = buddy.connectionType != 0 ? 1 : 0;
      progressText = buddy.connectionType == 3
                         ? QStringLiteral(
                               "Your buddy has configured his software only to allow calls from "
                               "his local network.\n\nAttempting to connect any way..")
                         : QStringLiteral("Connecting to %1 port %2")
                               .arg(QString::fromStdString(buddy.address))
                               .arg(buddy.listeningPort);
      return true;
    }
    case CallPage::kLogin:
    case CallPage::kBuddies:
      emit selectBuddyFirst();
      return false;
  }
  return false;
}

bool CallController::RefuseSecondConnect() {
  if (!connectInProgress_) return false;
  emit message({},
               QStringLiteral("A connection attempt is already in progress. You can attempt "
                              "only one connection at time."),
               false);
  return true;
}

void CallController::Talk(CallPage page, const QString& address) {
  if (shuttingDown_) return;
  // Calls by address need no login: the presence service only finds buddies.
  if (!loggedIn_ && page != CallPage::kConnectByIp) {
    emit message({},
                 QStringLiteral("You have to login to make a call. Please login and then try "
                                "again"),
                 false);
    return;
  }
  if (RefuseSecondConnect()) return;
  if (state_ == CallState::kInCall) return;  // the button is hidden during a call
  auto request = std::make_shared<CallRequest>();
  QString text;
  if (!PrepareConnect(page, address, *request, text)) return;
  connectInProgress_ = true;
  Reset(false, [this, request, text] {
    StartListening(false);
    SetState(CallState::kConnecting);
    auto owned = std::make_unique<CallRequest>(*request);
    RunConnect(std::move(owned), text, true);
  });
}

void CallController::AddToConference(CallPage page, const QString& address) {
  if (shuttingDown_ || state_ != CallState::kInCall) return;
  if (RefuseSecondConnect()) return;
  auto request = std::make_unique<CallRequest>();
  QString text;
  if (!PrepareConnect(page, address, *request, text)) return;
  connectInProgress_ = true;
  RunConnect(std::move(request), text, false);
}

void CallController::RunConnect(std::unique_ptr<CallRequest> request, const QString& progressText,
                                bool talk) {
  progressState_ = 0;
  progressCancelled_ = false;
  emit connectProgressOpened(progressText);
  request_ = std::move(request);
  INetCore* engine = slot_.engine.get();
  CallRequest* raw = request_.get();
  const uint64_t generation = slot_.generation;
  connectThread_ = std::thread([this, engine, raw, generation, talk] {
    engine->Connect(*raw);
    PostCall(this, [this, generation, talk] { OnConnectDone(generation, talk); });
  });
}

void CallController::CancelConnect() {
  if (progressState_ < 0 || progressCancelled_) return;
  progressState_ = 2;
  progressCancelled_ = true;
  if (request_ != nullptr) request_->cancel.store(1);
  emit connectProgressText(QStringLiteral("Cancelling.. Please Wait"));
}

void CallController::EndConnectAttempt() {
  connectInProgress_ = false;
  sounds_->Stop();
  if (progressState_ >= 0) {
    progressState_ = -1;
    emit connectProgressClosed();
  }
}

void CallController::OnConnectDone(uint64_t generation, bool talk) {
  // A reset took the engine (and this connect) away meanwhile.
  if (generation != slot_.generation || !connectThread_.joinable()) return;
  connectThread_.join();
  request_.reset();
  EndConnectAttempt();
  if (!talk) return;
  std::vector<PeerEntry> peers;
  slot_.engine->GetPeers(peers);
  if (!peers.empty()) {
    TraceLog("Active connections are present.. Not Hanging..");
    SetState(CallState::kInCall);
  } else {
    Reset(true);
  }
}

// ---- Hang up and disconnect -----------------------------------------------

void CallController::HangUp() {
  if (slot_.engine == nullptr || shuttingDown_) return;
  if (slot_.engine->IsActive()) {
    hangUpAsked_ = true;
    emit askHangUp();
    return;
  }
  Reset(true);
  sounds_->Play("hangup.wav", false);
}

void CallController::ConfirmHangUp(bool yes) {
  if (!hangUpAsked_) return;  // the call ended while the question was open
  hangUpAsked_ = false;
  if (!yes) return;
  Reset(true);
  sounds_->Play("hangup.wav", false);
}

void CallController::DisconnectUser(int row) {
  if (slot_.engine == nullptr || row < 0 || row >= conference_.rowCount()) return;
  // The row goes when the engine reports the peer gone.
  slot_.engine->Disconnect(reinterpret_cast<Connection*>(conference_.Row(row).connection));
}

// ---- Callers ---------------------------------------------------------------

void CallController::OnIncoming(const std::shared_ptr<IncomingRequest>& request) {
  // One decision at a time, and none while the user places a call.
  const bool busy = state_ == CallState::kIncoming || connectInProgress_ || retiring_ ||
                    shuttingDown_ ||
                    std::any_of(pending_.begin(), pending_.end(),
                                [](const Pending& p) { return p.incomingDialog; });
  if (busy) {
    request->Decide(IncomingRequest::kReject);
    return;
  }
  Pending pending;
  pending.id = nextPendingId_++;
  pending.incomingDialog = true;
  pending.request = request;
  pending.secondsLeft = static_cast<int>(std::max<uint32_t>(ReadRingTime(*settings_), 1));
  pending.timer = new QTimer(this);
  pending.timer->setInterval(options_.ringTickMs);
  connect(pending.timer, &QTimer::timeout, this, &CallController::IncomingTick);
  const int seconds = pending.secondsLeft;
  pending_.push_back(pending);
  SetState(CallState::kIncoming);
  emit raiseWindow();
  sounds_->Play("phonering.wav", true);
  emit incomingCall(SafeText(request->CallerName()), seconds);
  pending.timer->start();
}

void CallController::IncomingTick() {
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [](const Pending& p) { return p.incomingDialog; });
  if (it == pending_.end()) return;
  --it->secondsLeft;
  emit incomingCountdown(it->secondsLeft);
  if (it->secondsLeft > 0) return;
  const QString name = SafeText(it->request->CallerName());
  Decide(*it, IncomingRequest::kReject);
  missed_.push_front(MissedCall{name, QDateTime::currentDateTime()});
  emit missedCall(name);
}

void CallController::AnswerIncoming(bool accept) {
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [](const Pending& p) { return p.incomingDialog; });
  if (it == pending_.end()) return;
  Decide(*it, accept ? IncomingRequest::kAccept : IncomingRequest::kReject);
}

void CallController::OnConferenceRequest(const std::shared_ptr<IncomingRequest>& request) {
  Pending pending;
  pending.id = nextPendingId_++;
  pending.request = request;
  pending.timer = new QTimer(this);
  pending.timer->setSingleShot(true);
  const int id = pending.id;
  connect(pending.timer, &QTimer::timeout, this, [this, id] { AnswerConference(id, false); });
  pending.timer->start(static_cast<int>(std::max<uint32_t>(ReadRingTime(*settings_), 1)) *
                       options_.ringTickMs);
  pending_.push_back(pending);
  sounds_->Beep();
  emit conferenceRequest(id, SafeText(request->CallerName()));
}

void CallController::AnswerConference(int id, bool accept) {
  Pending* pending = FindPending(id);
  if (pending == nullptr || pending->incomingDialog) return;
  Decide(*pending, accept ? IncomingRequest::kAccept : IncomingRequest::kReject);
}

// ---- Engine events ---------------------------------------------------------

bool CallController::IsCurrent(const PostedEngineEvent& event) const {
  return slot_.engine != nullptr && event.Generation() == slot_.generation &&
         currentCallGeneration_ == slot_.generation;
}

bool CallController::IsCurrentAndActive(const PostedEngineEvent& event) const {
  return IsCurrent(event) && slot_.engine->IsActive();
}

void CallController::OnEngineEvent(const EngineEventPtr& event) {
  // Events of an engine that has been replaced are only freed (and their
  // callers turned away) when the last share of the event goes.
  if (slot_.engine == nullptr || event->Generation() != slot_.generation) return;
  HandleEvent(*event);
}

void CallController::CallStarted() {
  currentCallGeneration_ = slot_.generation;
  callTimer_.start();
  SetState(CallState::kInCall);
  SetPane(2, QStringLiteral("Active 00:00:00"));
  emit callStarted();
}

int CallController::RowOfPeer(const QString& name) const {
  const std::vector<PeerStats>& rows = conference_.Rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].userName.compare(name, Qt::CaseInsensitive) == 0) return static_cast<int>(i);
  }
  return -1;
}

void CallController::StatusTick() {
  ++tickCount_;
  if (!CallInProgress() || currentCallGeneration_ != slot_.generation) return;
  const qint64 secs = callTimer_.elapsed() / 1000;
  SetPane(2, QStringLiteral("Active %1:%2:%3")
                 .arg(secs / 3600, 2, 10, QLatin1Char('0'))
                 .arg(secs / 60 % 60, 2, 10, QLatin1Char('0'))
                 .arg(secs % 60, 2, 10, QLatin1Char('0')));
  // Both checks fall on the program's 10th and 300th seconds, not the call's.
  if (tickCount_ % 10 == 0) ShowCongestion();
  if (tickCount_ % 300 == 0) ReportCall();
}

void CallController::ShowCongestion() {
  constexpr uint32_t kSilentMs = 10000;
  QString text = QStringLiteral("Network congestion with\n------");
  bool any = false;
  const uint32_t now = clock_.TickMs();
  for (const PeerStats& row : conference_.Rows()) {
    if (now - static_cast<uint32_t>(row.lastReportTick) > kSilentMs) {
      text += QLatin1Char('\n') + row.userName;
      any = true;
    }
  }
  if (any && Popup(keys::kPopupNetworkCongestion) != 0) emit notify(text);
}

void CallController::ReportCall(const std::vector<PeerStats>* rows) {
  CallReportData report;
  report.generation = slot_.generation;
  if (slot_.engine != nullptr) {
    report.conferenceGuid = QString::fromStdString(slot_.engine->GetSessionId());
  }
  report.rows = rows != nullptr ? *rows : conference_.Rows();
  emit callReport(report);
}

void CallController::HandleEvent(PostedEngineEvent& event) {
  const uint32_t code = event.Code();
  switch (code) {
    case EV_BYTES_SENT:
    case EV_BYTES_RECEIVED: {
      const uint64_t bytes = event.TakeBytes();
      if (!IsCurrentAndActive(event)) return;
      (code == EV_BYTES_SENT ? bytesSent_ : bytesReceived_) += bytes;
      emit statisticsChanged();
      return;
    }
    case EV_CAPTURE_BUFFER:
    case EV_PLAYOUT_BUFFER:
      if (!IsCurrentAndActive(event)) return;
      if (code == EV_CAPTURE_BUFFER) {
        emit captureLevel(BlockPeak(event.block.data(), event.block.size()));
      } else {
        emit playLevel(BlockPeak(event.block.data(), event.block.size()));
      }
      return;
    case EV_CALL_STARTED:
      CallStarted();
      return;
    case EV_SERVER_BIND_ERROR:
      SetState(CallState::kBindError);
      SetPane(2, QStringLiteral("Error in Server"));
      return;
    case EV_INCOMING_CALL:
    case EV_CONFERENCE_REQUEST: {
      auto* record = reinterpret_cast<IncomingRequestRecord*>(event.TakeData());
      const std::shared_ptr<IncomingRequest> request = record->request;
      FreeEventData(code, reinterpret_cast<uintptr_t>(record));
      if (code == EV_INCOMING_CALL) {
        OnIncoming(request);
      } else if (IsCurrent(event) && !shuttingDown_) {
        OnConferenceRequest(request);
      } else {
        request->Decide(IncomingRequest::kReject);
      }
      return;
    }
    case EV_CALL_ENDED:
      if (!IsCurrent(event)) return;
      Reset(true);
      sounds_->Play("hangup.wav", false);
      return;
    case EV_PACKET_GAP: {
      std::unique_ptr<PacketGapRecord> gap(reinterpret_cast<PacketGapRecord*>(event.TakeData()));
      if (!IsCurrent(event) || gap == nullptr) return;
      lostPackets_ += gap->difference;
      emit statisticsChanged();
      const int row = conference_.RowOf(reinterpret_cast<uintptr_t>(gap->connection));
      if (row >= 0) conference_.Row(row).lostPackets += gap->difference;
      if (Popup(keys::kPopupNetworkCongestion) != 0) {
        emit notify(QStringLiteral("Network lost some packets"));
      }
      return;
    }
    case EV_CAPTURE_OPEN_FAILED:
    case EV_PLAYOUT_OPEN_FAILED:
      if (!IsCurrent(event)) return;
      emit message({}, QString::fromLatin1(kMultimediaError), true);
      Reset(true);
      sounds_->Play("hangup.wav", false);
      return;
    case EV_PEER_JOINED: {
      std::unique_ptr<PeerInfo> info(reinterpret_cast<PeerInfo*>(event.TakeData()));
      if (info == nullptr) return;
      const QString name = SafeText(
          std::string_view(info->userName, strnlen(info->userName, sizeof info->userName)));
      const auto connection = reinterpret_cast<uintptr_t>(info->connection);
      peerNames_.emplace_back(connection, name);
      if (Popup(keys::kPopupBuddyJoinLeave) != 0) {
        emit notify(QStringLiteral("User Connected ->") + name);
      }
      PeerStats row;
      row.userName = name;
      row.peerVersion = info->peerVersion;
      row.connection = connection;
      row.createdTick = clock_.TickMs();
      row.lastReportTick = row.createdTick;
      conference_.Append(row);
      ReportCall();
      return;
    }
    case EV_CONNECT_FAILED:
      if (progressState_ >= 0) progressState_ = 3;
      sounds_->Stop();
      if (!progressCancelled_) emit connectFailed();
      return;
    case EV_RINGING:
      if (progressState_ < 0) return;
      progressState_ = 1;
      emit connectProgressText(QStringLiteral("Ringing at the other end"));
      sounds_->PlayUnlessPlaying("phonering.wav");
      return;
    case EV_PEER_LEFT: {
      const uintptr_t connection = event.TakeData();
      auto it = std::find_if(peerNames_.begin(), peerNames_.end(),
                             [connection](const auto& p) { return p.first == connection; });
      if (it == peerNames_.end()) return;
      if (Popup(keys::kPopupBuddyJoinLeave) != 0) {
        emit notify(QStringLiteral("User Disconnected ->") + it->second);
      }
      // The report after the last peer left carries that peer's final
      // figures: a report of nobody would tell the service nothing.
      const std::vector<PeerStats> before = conference_.Rows();
      conference_.Remove(conference_.RowOf(connection));
      peerNames_.erase(it);
      ReportCall(conference_.Rows().empty() ? &before : nullptr);
      return;
    }
    case EV_ROUND_TRIP: {
      std::unique_ptr<RoundTripRecord> trip(reinterpret_cast<RoundTripRecord*>(event.TakeData()));
      if (trip == nullptr || !IsCurrentAndActive(event)) return;
      // Only a peer of this call makes the program click: a ping from
      // anybody else must not.
      const int row = conference_.RowOf(reinterpret_cast<uintptr_t>(trip->owner));
      if (row < 0) return;
      sounds_->Play("click.wav", false);
      conference_.Row(row).AddRoundTrip(trip->roundTripMs, clock_.TickMs());
      conference_.Touch(row);
      return;
    }
    case EV_USER_NOT_AT_ADDRESS:
      if (progressState_ >= 0) progressState_ = 3;
      sounds_->Stop();
      if (!progressCancelled_) emit message({}, QString::fromLatin1(kUserNotAtAddress), false);
      return;
    case EV_HOST_NOT_FOUND:
      if (progressState_ >= 0) progressState_ = 3;
      sounds_->Stop();
      event.TakeData();  // an identifier only
      emit message(QStringLiteral("Connect Failed"), QString::fromLatin1(kHostNotFound), true);
      return;
    case EV_ALREADY_CONNECTED:
      emit notify(QStringLiteral("User is already connected"));
      return;  // the record is freed with the event
    case EV_REMOTE_BUSY:
      emit notify(QStringLiteral("Your buddy busy with another call"));
      sounds_->Beep();
      return;
    case EV_SESSION_INACCESSIBLE:
      sounds_->Stop();
      emit message({}, QStringLiteral("Cannot connect to a different voice conference session"),
                   false);
      return;
    default:
      return;
  }
}

}  // namespace dialvo
