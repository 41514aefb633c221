#include "app/PresenceController.h"

#include "app/PostedCall.h"
#include "app/SafeText.h"
#include "base/Trace.h"
#include "service/BuddyList.h"
#include "service/PageFetch.h"
#include "settings/Settings.h"

namespace dialvo {

namespace {

constexpr uint32_t kPageTimeoutMs = 15000;
constexpr int kFirstListPopupMs = 4000;
constexpr int kNewcomerPopupMs = 6000;

QString Text(const std::string& raw) { return SafeText(raw, kMaxMessageChars); }

bool SameName(const std::string& a, const std::string& b) {
  return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

}  // namespace

PresenceController::PresenceController(Options options, std::shared_ptr<SettingsStore> settings,
                                       CallController& calls, std::shared_ptr<CallSounds> sounds,
                                       QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      settings_(std::move(settings)),
      calls_(calls),
      sounds_(std::move(sounds)) {
  PresenceObserver& observer = *this;
  client_ = std::make_unique<PresenceClient>(*settings_, observer, options_.config);
  uploadTimer_.setInterval(options_.uploadPeriodMs);
  connect(&uploadTimer_, &QTimer::timeout, this, &PresenceController::UploadIfChanged);
  exitTimer_.setSingleShot(true);
  connect(&exitTimer_, &QTimer::timeout, this, &PresenceController::FinishShutdown);
  calls_.SetBuddyLookup([this](const std::string& name, OnlineBuddy& record) {
    return client_->FindOnlineBuddy(name, record);
  });
  connect(&calls_, &CallController::callReport, this, &PresenceController::ReportCall);
}

PresenceController::~PresenceController() {
  stopping_ = true;
  calls_.SetBuddyLookup({});
  client_->Stop();
  worker_.Stop();
  pages_.Stop();
  client_.reset();
}

bool PresenceController::event(QEvent* event) {
  return RunPostedCall(event) || QObject::event(event);
}

void PresenceController::SetListeningPort(uint16_t listeningPort) {
  client_->SetListeningPort(listeningPort);
}

void PresenceController::Start(uint16_t listeningPort) {
  client_->SetListeningPort(listeningPort);
  uploadTimer_.start();
  if (!client_->Start()) {
    emit paneChanged(1, QStringLiteral("Cannot start the keep-alive thread"));
  }
}

QString PresenceController::OnlineTitle() const {
  return QStringLiteral("Buddies Online (%1/%2)").arg(onlineCount_).arg(client_->Buddies().Count());
}

StoredLogin PresenceController::StoredCredentials() const { return LoadStoredLogin(*settings_); }

// ---- Login and logoff ------------------------------------------------------

void PresenceController::Login(const QString& user, const QString& password, bool autoLogin) {
  if (shuttingDown_ || loginRunning_) return;
  const std::string name = TrimBlanks(user.toStdString());
  const std::string pass = password.toStdString();
  if (name.empty()) {
    emit message(QString::fromLatin1(kEnterUserNameText), false);
    return;
  }
  loginRunning_ = true;
  worker_.Post([this, name, pass, autoLogin] {
    client_->SetLoginFields(name, pass);
    const LoginOutcome outcome = client_->Login(name, pass, true);
    // The name and password are kept only after a login that worked, and
    // only when the user asked for it.
    if (outcome.result == LoginOutcome::Result::kDone && outcome.state == kLoginAccepted &&
        autoLogin) {
      SaveAutoLogin(*settings_, true);
      StoreLoginCredentials(*settings_, name, pass);
    }
    PostCall(this, [this] { loginRunning_ = false; });
  });
}

void PresenceController::ForgetStoredLogin() { SaveAutoLogin(*settings_, false); }

void PresenceController::Logoff() {
  if (!loggedIn_ || shuttingDown_) return;
  UploadIfChanged();  // a pending upload goes first
  worker_.Post([this] { client_->Logoff(true); });
}

void PresenceController::Refresh() { client_->PostKeepAliveTick(); }

void PresenceController::LoginProgress(uint32_t state) {
  QString text;
  if (state == kLoginStarted) text = QStringLiteral("Logging in.. Please wait");
  if (state == kLoginVerifying) text = QStringLiteral("Verifying User");
  if (state == kLoggingOff) text = QStringLiteral("Logging off.. Please wait");
  if (text.isEmpty()) return;
  PostCall(this, [this, text] { emit paneChanged(0, text); });
}

void PresenceController::LoginFinished(const LoginOutcome& outcome) {
  const std::string user = client_->UserName();
  PostCall(this, [this, outcome, user] { OnLoginFinished(outcome, user); });
}

void PresenceController::OnLoginFinished(const LoginOutcome& outcome, const std::string& user) {
  if (outcome.result == LoginOutcome::Result::kEmptyUser) {
    // An automatic login without a stored name says nothing.
    if (outcome.interactive) emit message(QString::fromLatin1(kEnterUserNameText), false);
    return;
  }
  if (outcome.result == LoginOutcome::Result::kBusy) return;
  switch (outcome.state) {
    case kLoginAccepted: {
      loggedIn_ = true;
      user_ = QString::fromStdString(user);
      calls_.SetLoggedIn(true, user_);
      online_.Clear();
      onlineCount_ = 0;
      SetBuddyNames(client_->Buddies().Names(), false);
      emit paneChanged(0, QStringLiteral("Logged in"));
      emit loggedInChanged(true);
      if (outcome.interactive) {
        const LoginAnswer& answer = outcome.answer;
        if (!answer.showUserMessage.empty()) {
          emit askUserMessage(Text(answer.showUserMessage),
                              QString::fromStdString(answer.urlToNavigate), true);
        }
        if (!answer.popupUrl.empty()) OpenPage(answer.popupUrl);
      }
      return;
    }
    case kLoginUnreachable:
    case kLoginNoLocalAddress:
      emit paneChanged(0, QStringLiteral("Please Login"));
      emit loginFailed();
      return;
    default:
      // Refused or unreadable: the service's notice says why.
      emit paneChanged(0, QStringLiteral("Please Login"));
      if (outcome.state == kLoginRefused && outcome.interactive &&
          !outcome.answer.showUserMessage.empty()) {
        emit askUserMessage(Text(outcome.answer.showUserMessage),
                            QString::fromStdString(outcome.answer.urlToNavigate), false);
      }
      return;
  }
}

void PresenceController::LoggedOut() {
  PostCall(this, [this] { OnLoggedOut(); });
}

void PresenceController::OnLoggedOut() {
  if (!loggedIn_) return;
  loggedIn_ = false;
  dirty_ = false;  // an upload for the user who left is moot
  calls_.SetLoggedIn(false, {});
  online_.Clear();
  onlineCount_ = 0;
  emit onlineTitleChanged(OnlineTitle());
  emit paneChanged(0, QStringLiteral("Please Login"));
  emit loggedInChanged(false);
}

// ---- The client's threads ----------------------------------------------------

void PresenceController::PostAppRequest(AppRequest request) {
  if (stopping_) return;
  worker_.Post([this, request] {
    if (!stopping_) client_->HandleAppRequest(request);
  });
}

void PresenceController::ShowNotice(const Notice& shown) {
  const QString caption = Text(shown.caption);
  const QString text = Text(shown.text);
  const int seconds = static_cast<int>(shown.autoCloseSeconds);
  const int icon = static_cast<int>(shown.icon);
  PostCall(this, [this, caption, text, seconds, icon] {
    if (!shuttingDown_) emit notice(caption, text, seconds, icon);
  });
}

void PresenceController::AddressStatusChanged(const AddressStatus& status) {
  const QString text = Text(status.text);
  const std::string host = client_->Location().currentIp;
  PostCall(this, [this, text, host] {
    emit paneChanged(1, text);
    emit paneChanged(0, loggedIn_ ? Text(host) : QStringLiteral("Please Login"));
  });
}

void PresenceController::OnlineChanged(const OnlineRefresh& refresh) {
  std::vector<OnlineBuddy> items = client_->Online().Items();
  PostCall(this, [this, refresh, items] { OnOnlineChanged(refresh, items); });
}

void PresenceController::OnOnlineChanged(const OnlineRefresh& refresh,
                                         const std::vector<OnlineBuddy>& items) {
  if (!loggedIn_) return;
  online_.Update(items);
  onlineCount_ = refresh.onlineCount;
  emit onlineTitleChanged(OnlineTitle());
  if (!refresh.gone.empty()) sounds_->PlayUnlessPlaying("buddyout.wav");
  if (refresh.newcomers.empty()) return;
  const bool popups = ReadDword(*settings_, keys::kPopupBuddyOnline) != 0;
  if (refresh.firstAfterLogin) {
    if (popups) {
      emit notify(QStringLiteral("%1 buddies online").arg(refresh.newcomers.size()),
                  kFirstListPopupMs);
    }
    sounds_->Play("buddyin.wav", false);
    return;
  }
  sounds_->Play("buddyin.wav", false);
  if (!popups) return;
  for (const OnlineBuddy& buddy : refresh.newcomers) {
    emit notify(SafeText(buddy.userId) + QStringLiteral(" is online"), kNewcomerPopupMs);
  }
}

// ---- Buddy list ------------------------------------------------------------

void PresenceController::SetBuddyNames(const std::vector<std::string>& names, bool changedByUser) {
  if (changedByUser) {
    client_->Buddies().Replace(names);
    SaveBuddyList(*settings_, user_.toStdString(), client_->Buddies().Names());
    dirty_ = true;
  }
  buddies_.SetNames(client_->Buddies().Names());
  emit onlineTitleChanged(OnlineTitle());
  // The online list is asked for with the new names at once.
  if (changedByUser) client_->PostKeepAliveTick();
}

void PresenceController::AddBuddy() {
  if (!loggedIn_) {
    emit message(QStringLiteral("You have to login first to add a buddy."), false);
    return;
  }
  emit editBuddy(buddies_.AddPlaceholder());
}

void PresenceController::DeleteBuddy(const QString& name) {
  if (!loggedIn_) {
    emit message(QStringLiteral("Please login first"), false);
    return;
  }
  if (name.isEmpty()) return;
  std::vector<std::string> names = client_->Buddies().Names();
  const std::string wanted = name.toStdString();
  auto it = std::find_if(names.begin(), names.end(),
                         [&](const std::string& n) { return SameName(n, wanted); });
  if (it == names.end()) return;
  names.erase(it);
  SetBuddyNames(names, true);
}

void PresenceController::EditBuddy(int row, const QString& oldLabel, const QString& newLabel) {
  const QModelIndex index = buddies_.index(row, 0, buddies_.Root()->index());
  std::vector<std::string> names = client_->Buddies().Names();
  std::string normalized;
  const BuddyEdit result =
      CheckBuddyEdit(newLabel.toStdString(), oldLabel.toStdString(), names, &normalized);
  switch (result) {
    case BuddyEdit::kEmpty:
      emit message(QStringLiteral("Buddy name cannot be empty!"), true);
      emit editBuddy(index);
      return;
    case BuddyEdit::kUnchanged:
      return;
    case BuddyEdit::kDropPlaceholder:
      buddies_.Root()->removeRow(row);
      return;
    case BuddyEdit::kDuplicate:
      emit message(QStringLiteral("This buddy is already present in the list"), false);
      emit editBuddy(index);
      return;
    case BuddyEdit::kInvalid:
      emit message(QString::fromLatin1(kInvalidBuddyNameText), true);
      emit editBuddy(index);
      return;
    case BuddyEdit::kAccepted:
      break;
  }
  const std::string old = oldLabel.toStdString();
  if (old == kNewBuddyPlaceholder) {
    names.push_back(normalized);
  } else {
    auto it = std::find_if(names.begin(), names.end(),
                           [&](const std::string& n) { return SameName(n, old); });
    if (it != names.end()) *it = normalized;
  }
  SetBuddyNames(names, true);
}

void PresenceController::UploadIfChanged() {
  if (!loggedIn_ || !dirty_ || shuttingDown_) return;
  dirty_ = false;
  // The upload carries its user: after a logoff and another login it is
  // not sent as that user's list.
  const std::string user = user_.toStdString();
  const std::vector<std::string> names = client_->Buddies().Names();
  worker_.Post([this, user, names] { client_->SyncBuddyList(user, names); });
}

// ---- Call reports ------------------------------------------------------------

void PresenceController::ReportCall(const CallReportData& report) {
  if (!loggedIn_) return;
  auto snapshot = std::make_unique<CallReportSnapshot>();
  snapshot->user = user_.toStdString();
  snapshot->conferenceGuid = report.conferenceGuid.toStdString();
  snapshot->callGeneration = report.generation;
  snapshot->recorded = false;
  for (const PeerStats& row : report.rows) {
    CallReportSnapshot::Row copy;
    copy.name = row.userName.toStdString();
    copy.joinedAtMs = row.createdTick;
    // The rows start their figures at 1 and 1; only real samples count.
    copy.delaySum = row.delaySum - 1;
    copy.delayCount = row.delayCount - 1;
    snapshot->rows.push_back(std::move(copy));
  }
  client_->PostCallReport(std::move(snapshot));
}

// ---- Pages -------------------------------------------------------------------

void PresenceController::OpenPage(const std::string& url) {
  if (!IsWebAddress(url)) return;  // nothing but web pages is followed
  pages_.Post([this, url] {
    std::string page;
    std::string error;
    if (!FetchPage(*settings_, url, kPageTimeoutMs, page, &error)) {
      TraceLog("Cannot open %s", error.c_str());
      return;
    }
    const QString html = QString::fromUtf8(page.data(), static_cast<qsizetype>(page.size()));
    PostCall(this, [this, html] {
      if (!shuttingDown_) emit showPage(html);
    });
  });
}

// ---- Exit --------------------------------------------------------------------

void PresenceController::Shutdown() {
  if (shuttingDown_) return;
  shuttingDown_ = true;
  uploadTimer_.stop();
  if (!options_.logoffOnExit || !loggedIn_) {
    FinishShutdown();
    return;
  }
  if (dirty_) {
    const std::string user = user_.toStdString();
    const std::vector<std::string> names = client_->Buddies().Names();
    worker_.Post([this, user, names] { client_->SyncBuddyList(user, names); });
  }
  worker_.Post([this] {
    client_->Logoff(true);
    PostCall(this, [this] { FinishShutdown(); });
  });
  // A service that does not answer does not hold the exit up.
  exitTimer_.start(options_.exitLogoffMs);
}

void PresenceController::FinishShutdown() {
  if (stopping_) return;
  stopping_ = true;
  exitTimer_.stop();
  client_->Stop();  // ends requests still running
  worker_.Stop();
  pages_.Stop();
  emit shutdownFinished();
}

}  // namespace dialvo
