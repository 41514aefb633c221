#include "app/ConnectivityController.h"

#include <QPointer>

#include "app/PostedCall.h"

namespace dialvo {

namespace {

QString Shown(const std::string& text) {
  QString out = QString::fromStdString(text);
  out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return out;
}

}  // namespace

ConnectivityController::ConnectivityController(CallController& calls,
                                               std::shared_ptr<SettingsStore> settings,
                                               ConnectivityOptions options, QObject* parent)
    : QObject(parent),
      calls_(calls),
      settings_(std::move(settings)),
      options_(std::move(options)) {}

ConnectivityController::~ConnectivityController() {
  if (test_ != nullptr) test_->Cancel();
  worker_.Stop();
}

bool ConnectivityController::event(QEvent* event) {
  return RunPostedCall(event) || QObject::event(event);
}

ConnectivityController::Opening ConnectivityController::Open() {
  Opening opening;
  if (calls_.CallInProgress() || calls_.ConnectInProgress()) {
    opening.refusal = QString::fromLatin1(kConnectivityDuringCallText);
    return opening;
  }
  loaded_ = LoadNetworkSettings(*settings_);
  const std::optional<ConnectivityMode> mode = ConnectivityModeFor(loaded_);
  if (!mode) {
    opening.refusal = Shown(kConnectivityNoTestText);
    opening.refusalWarning = true;
    return opening;
  }
  dialogOpen_ = true;
  opening.title = Shown(ConnectivityTitle(*mode));
  opening.description = Shown(ConnectivityDescription(*mode, loaded_.EffectiveListeningPort()));
  opening.connectionLine = Shown(ConnectivityConnectionLine(loaded_));
  opening.proxyLine = Shown(ConnectivityProxyLine(loaded_));
  return opening;
}

void ConnectivityController::Append(const QString& line) {
  log_.append(line);
  emit logLine(line);
}

void ConnectivityController::Start() {
  if (running_ || !dialogOpen_) return;
  running_ = true;
  log_.clear();
  emit logCleared();
  emit runningChanged(true);
  test_ = std::make_shared<ConnectivityTest>(*settings_, options_);
  // The engine lets go of the port first; the run binds it itself.
  calls_.LendPort([self = QPointer(this), test = test_, settings = loaded_] {
    ConnectivityController* const me = self.data();
    if (me == nullptr) return;
    me->worker_.Post([me, test, settings] {
      const ConnectivityResult result = test->Run(settings, [me](const std::string& line) {
        PostCall(me, [me, text = Shown(line)] { me->Append(text); });
      });
      PostCall(me, [me, result] { me->OnFinished(result); });
    });
  });
}

void ConnectivityController::Abort() {
  if (running_ && test_ != nullptr) test_->Cancel();
}

void ConnectivityController::Closed() {
  dialogOpen_ = false;
  Abort();
}

void ConnectivityController::OnFinished(const ConnectivityResult& result) {
  test_.reset();
  calls_.ReturnPort();
  running_ = false;
  emit runningChanged(false);
  if (dialogOpen_ && result.box != ConnectivityResult::Box::kNone) {
    emit this->result(static_cast<int>(result.box), Shown(result.boxTitle), Shown(result.boxText));
  }
}

}  // namespace dialvo
