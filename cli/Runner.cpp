#include "cli/Runner.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "audio/Recorder.h"

namespace dialvo::cli {

namespace {
// The longest the client sleeps before it looks at signals and deadlines.
constexpr uint32_t kPollMs = 50;
// Recordings being made live here under the --record directory, where a
// user finds what a failed save or a crash left.
constexpr const char* kPartialDir = ".partial";

// Makes the --record directory if needed; the problem, or empty.
std::string PrepareRecordDirectory(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (!ec && !std::filesystem::is_directory(dir, ec))
    ec = std::make_error_code(std::errc::not_a_directory);
  if (!ec && ::access(dir.c_str(), W_OK | X_OK) != 0)
    ec = std::error_code(errno, std::generic_category());
  return ec ? "--record: cannot save recordings in '" + dir + "': " + ec.message() : "";
}
}  // namespace

CliRunner::CliRunner(CliOptions options, std::FILE* out, std::shared_ptr<SoundBackend> sound)
    : options_(std::move(options)), out_(out), sound_(std::move(sound)), port_(options_.port) {}

CliRunner::~CliRunner() {
  if (engine_ != nullptr) StopEngine();
}

void CliRunner::Print(std::string_view word, const Fields& fields) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start_);
  const std::string line = FormatLine(static_cast<uint64_t>(ms.count()), word, fields);
  std::fputs(line.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

int CliRunner::Run(const std::atomic<bool>& stop) {
  if (!options_.recordDir.empty()) {
    if (const std::string error = PrepareRecordDirectory(options_.recordDir); !error.empty()) {
      std::fprintf(stderr, "dialvo-cli: %s\n", error.c_str());
      return 2;
    }
  }
  StartEngine();
  if (!options_.presence.login.empty() && !StartPresence()) exitStatus_ = 1;
  if (options_.call && !exitStatus_) {
    StartCall(*options_.call, options_.callee, !options_.callee.empty());
  }
  while (!exitStatus_) {
    if (stop.load()) {
      exitStatus_ = 0;
      break;
    }
    Pump(std::min(kPollMs, MsUntilNextDeadline()));
    DecideDue();
    if (hangupAt_ && Steady::now() >= *hangupAt_) {
      hangupAt_.reset();
      Print("HANGUP");
      AfterCall();
    }
    if (callEnded_) {
      callEnded_ = false;
      AfterCall();
    }
    if (callDone_.load() && callThread_.joinable()) {
      JoinCall();
      // A failed attempt ends the client's call unless another call came in.
      if (!callConnected_.load() && !engine_->IsActive()) {
        AfterCall();
      } else if (nextCall_ < options_.moreCalls.size() && engine_->IsActive()) {
        // The call runs: the next party is called into it.
        StartCall(options_.moreCalls[nextCall_++], "", false);
      }
    }
    if (!exitStatus_ && listenFailed_ && !callThread_.joinable() && !engine_->IsActive()) {
      std::fprintf(stderr, "dialvo-cli: cannot listen on UDP port %u\n", unsigned{port_});
      exitStatus_ = 1;
    }
    CallBuddyWhenOnline();
  }
  StopEngine();
  if (presence_ != nullptr) presence_->Stop([this] { KeepServing(); });
  Print("EXIT", {{"status", std::to_string(*exitStatus_)}});
  return *exitStatus_;
}

void CliRunner::AfterCall() {
  if (options_.exitOnCallEnd) {
    exitStatus_ = callTookPlace_ ? 0 : 1;
    return;
  }
  StopEngine();
  StartEngine();
}

void CliRunner::StartEngine() {
  EngineConfig config;
  config.listeningPort = port_;
  config.sound = sound_;
  if (options_.livenessMs) {
    config.livenessLimitMs = *options_.livenessMs;
    config.livenessIntervalMs = *options_.livenessMs / 4;
    config.timerPeriodMs = *options_.livenessMs / 8;
  }
  sink_ = std::make_unique<EventSink>(&window_);
  if (!options_.recordDir.empty()) {
    sink_->SetRecorder(std::make_shared<ConversationRecorder>(
        std::filesystem::path(options_.recordDir) / kPartialDir));
  }
  engine_ = std::make_unique<NetCore>(config, sink_.get(), EngineUser());
  // On from the start: the engine hands blocks over only during its call,
  // and so none of the call's first blocks is missed.
  if (!options_.recordDir.empty()) engine_->SetRecording(true);
  listenFailed_ = false;
  if (engine_->ListeningPort() != 0) {
    // A port picked freely stays the client's port for its later engines.
    port_ = engine_->ListeningPort();
    Print("LISTENING", {{"port", std::to_string(port_)}, {"user", EngineUser()}});
  }
}

void CliRunner::StopEngine() {
  stoppingEngine_ = true;
  for (Waiting& w : waiting_) Decide(w, IncomingRequest::kReject);
  waiting_.clear();
  if (request_ != nullptr) request_->cancel.store(1);
  // The engine's threads may still ask for decisions while it stops: keep
  // answering (with a rejection) until it is done.
  std::atomic<bool> stopped{false};
  NetCore* engine = engine_.get();
  std::thread stopper([engine, &stopped] {
    engine->Stop();
    stopped.store(true);
  });
  while (!stopped.load()) Pump(20);
  stopper.join();
  JoinCall();
  // The voice threads are gone: the recording is complete.
  const std::pair<std::string, Fields> recording = SaveRecording();
  const std::vector<PeerReport> reports = engine_->PeerReports();
  engine_.reset();
  sink_.reset();
  while (window_.Pending() > 0) Pump(0);
  // Peers are numbered in the order they joined, as the engine lists them.
  for (size_t i = 0; i < reports.size(); ++i) {
    Print("PEER_STATS", DescribePeerReport(static_cast<int>(i + 1), reports[i]));
  }
  if (!recording.first.empty()) Print(recording.first, recording.second);
  book_.Clear();
  hangupAt_.reset();
  callEnded_ = false;
  stoppingEngine_ = false;
}

void CliRunner::StartCall(const CallTarget& target, const std::string& callee, bool confirmUser,
                          const Fields& extra) {
  request_ = std::make_unique<CallRequest>();
  request_->host = target.host;
  request_->port = target.port;
  request_->calleeName = callee;
  request_->confirmUser = confirmUser ? 1 : 0;
  callAddress_ = target.host + ":" + std::to_string(target.port);
  Fields shown{{"addr", callAddress_}};
  shown.insert(shown.end(), extra.begin(), extra.end());
  Print("CALLING", shown);
  callDone_.store(false);
  callConnected_.store(false);
  NetCore* engine = engine_.get();
  CallRequest* request = request_.get();
  callThread_ = std::thread([this, engine, request] {
    callConnected_.store(engine->Connect(*request) != nullptr);
    callDone_.store(true);
  });
}

void CliRunner::JoinCall() {
  if (callThread_.joinable()) callThread_.join();
}

void CliRunner::Pump(uint32_t waitMs) {
  auto msg = window_.Next(waitMs);
  if (msg && msg->message == WM_ENGINE_EVENT) {
    OnEvent(static_cast<uint32_t>(msg->wParam), msg->lParam);
  } else if (msg && presence_ != nullptr) {
    presence_->OnMessage(*msg, [this] { KeepServing(); });
  }
}

void CliRunner::OnEvent(uint32_t code, uintptr_t data) {
  EventContext context;
  context.callAddress = callAddress_;
  context.listeningPort = port_;
  if (engine_ != nullptr && code == EV_CALL_STARTED) context.sessionId = engine_->GetSessionId();
  if (engine_ != nullptr && code == EV_PEER_JOINED) {
    std::vector<PeerEntry> peers;
    engine_->GetPeers(peers);
    const Connection* joined = reinterpret_cast<const PeerInfo*>(data)->connection;
    for (const PeerEntry& p : peers) {
      if (p.connection == joined) context.joinedAddress = p.address.ToString();
    }
  }
  Print(EventName(code), DescribeEvent(code, data, book_, context));
  switch (code) {
    case EV_INCOMING_CALL:
    case EV_CONFERENCE_REQUEST:
      // A share of the request; the record itself is freed below.
      Answer(reinterpret_cast<const IncomingRequestRecord*>(data)->request);
      break;
    case EV_CALL_STARTED:
      callTookPlace_ = true;
      if (options_.hangupAfterSec) {
        hangupAt_ = Steady::now() + std::chrono::seconds(*options_.hangupAfterSec);
      }
      break;
    case EV_CALL_ENDED:
      if (!stoppingEngine_) callEnded_ = true;
      break;
    case EV_SERVER_BIND_ERROR:
      listenFailed_ = true;
      break;
    default:
      break;
  }
  FreeEventData(code, data);
}

void CliRunner::Answer(std::shared_ptr<IncomingRequest> request) {
  if (request == nullptr) return;
  Waiting waiting;
  waiting.name = request->CallerName();
  waiting.request = std::move(request);
  if (stoppingEngine_) {
    Decide(waiting, IncomingRequest::kReject);
    return;
  }
  if (options_.answer != AnswerMode::kIgnore) {
    waiting.due = Steady::now() + std::chrono::milliseconds(options_.answerDelayMs);
    waiting.decision = options_.answer == AnswerMode::kAccept ? IncomingRequest::kAccept
                                                              : IncomingRequest::kReject;
  }
  waiting_.push_back(std::move(waiting));
  DecideDue();
}

void CliRunner::Decide(Waiting& waiting, uint32_t decision) {
  Print("ANSWER", {{"name", waiting.name},
                   {"decision", decision == IncomingRequest::kAccept ? "accept" : "reject"}});
  // Refused when the stopping engine already took the caller as rejected.
  waiting.request->Decide(decision);
  waiting.request.reset();
}

void CliRunner::DecideDue() {
  const auto now = Steady::now();
  for (Waiting& w : waiting_) {
    if (w.due && *w.due <= now) Decide(w, w.decision);
  }
  std::erase_if(waiting_, [](const Waiting& w) { return w.request == nullptr; });
}

uint32_t CliRunner::MsUntilNextDeadline() const {
  std::optional<Steady::time_point> next = hangupAt_;
  for (const Waiting& w : waiting_) {
    if (w.due && (!next || *w.due < *next)) next = w.due;
  }
  if (!next) return kPollMs;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*next - Steady::now());
  return static_cast<uint32_t>(std::clamp<int64_t>(left.count(), 0, kPollMs));
}

bool CliRunner::StartPresence() {
  presence_ = std::make_unique<CliPresence>(
      options_.presence, window_,
      [this](std::string_view word, const Fields& fields) { Print(word, fields); },
      [this](const std::string& user) {
        loggedInUser_ = user;
        if (engine_ != nullptr) engine_->SetUserName(EngineUser());
      });
  return presence_->Start(port_, [this] { KeepServing(); });
}

void CliRunner::CallBuddyWhenOnline() {
  if (presence_ == nullptr || exitStatus_ || callThread_.joinable() || engine_->IsActive() ||
      !waiting_.empty()) {
    return;
  }
  BuddyCall call;
  switch (presence_->NextCall(call)) {
    case CliPresence::CallStep::kCall:
      StartCall({call.host, call.port}, call.callee, call.confirmUser != 0,
                {{"name", call.callee}});
      break;
    case CliPresence::CallStep::kCannot:
      if (options_.exitOnCallEnd) AfterCall();
      break;
    case CliPresence::CallStep::kNone:
      break;
  }
}

void CliRunner::KeepServing() {
  Pump(0);
  DecideDue();
}

std::pair<std::string, Fields> CliRunner::SaveRecording() {
  ConversationRecorder* recorder = sink_ != nullptr ? sink_->Recorder() : nullptr;
  if (recorder == nullptr || !recorder->HasRecording()) return {};
  const std::filesystem::path target =
      std::filesystem::path(options_.recordDir) / RecordingFileName(std::time(nullptr));
  std::string error;
  std::filesystem::path saved;
  if (recorder->Save(target, &error, &saved)) return {"RECORDING", {{"path", saved.string()}}};
  const std::string kept = recorder->TemporaryPath().string();
  return {"RECORDING_FAILED", {{"kept", kept.empty() ? "-" : kept}, {"reason", error}}};
}

const std::string& CliRunner::EngineUser() const {
  return loggedInUser_.empty() ? options_.user : loggedInUser_;
}

}  // namespace dialvo::cli
