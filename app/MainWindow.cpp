#include "app/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSlider>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QUrlQuery>
#include <QVBoxLayout>

#include "app/AudioTestController.h"
#include "app/CallDialogs.h"
#include "app/CallRecords.h"
#include "app/ConnectivityController.h"
#include "app/Icons.h"
#include "app/MixerController.h"
#include "app/PlayerController.h"
#include "app/PresenceController.h"
#include "app/PresencePages.h"
#include "app/SettingsDialogs.h"
#include "controls/DelayMessageBox.h"
#include "controls/LevelDisplay.h"
#include "controls/NotifyPopup.h"
#include "controls/PaneStatusBar.h"
#include "service/ServiceRequests.h"
#include "settings/Settings.h"

namespace dialvo {

namespace {

QPushButton* CallButton(const QString& text, const QIcon& icon, const QString& name,
                        const QString& tip, QWidget* parent) {
  auto* button = new QPushButton(icon, text, parent);
  button->setObjectName(name);
  button->setToolTip(tip);
  button->setIconSize(QSize(45, 45));
  button->setMinimumHeight(60);
  button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  return button;
}

constexpr int kExitWaitMs = 5000;

// The online page's tab, reachable with Alt+O.
QString OnlineTabText(QString title) {
  return title.replace(QLatin1String("Online"), QLatin1String("&Online"));
}

}  // namespace

MainWindow::MainWindow(CallController& calls, PresenceController* presence,
                       std::shared_ptr<SettingsStore> settings, MainWindowOptions options,
                       QWidget* parent, PlayerController* player)
    : QMainWindow(parent),
      calls_(calls),
      presence_(presence),
      player_(player),
      settings_(std::move(settings)),
      options_(std::move(options)) {
  setObjectName(QStringLiteral("mainWindow"));
  setWindowIcon(ProgramIcon());
  connectivity_ = new ConnectivityController(calls_, settings_, options_.connectivity, this);
  audioTest_ = new AudioTestController(calls_, options_.sound, this);
  setWindowTitle(calls_.Title());

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->addWidget(BuildCallArea());
  pages_ = new QTabWidget(central);
  pages_->setObjectName(QStringLiteral("pageArea"));
  connectPage_ = BuildConnectPage();
  pages_->addTab(connectPage_, QStringLiteral("Connect by &IP"));
  layout->addWidget(pages_, 1);

  conferenceList_ = new QTableView(central);
  conferenceList_->setObjectName(QStringLiteral("conferenceList"));
  conferenceList_->setModel(&calls_.Conference());
  conferenceList_->setShowGrid(true);
  conferenceList_->setSelectionBehavior(QAbstractItemView::SelectRows);
  conferenceList_->setSelectionMode(QAbstractItemView::SingleSelection);
  conferenceList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  conferenceList_->verticalHeader()->hide();
  conferenceList_->setContextMenuPolicy(Qt::CustomContextMenu);
  conferenceList_->setMinimumHeight(90);
  conferenceList_->setMaximumHeight(130);
  conferenceList_->horizontalHeader()->setStretchLastSection(true);
  conferenceList_->viewport()->installEventFilter(this);
  layout->addWidget(conferenceList_);
  layout->addWidget(BuildPlayerArea());
  setCentralWidget(central);

  status_ = new PaneStatusBar(this);
  status_->setObjectName(QStringLiteral("statusBar"));
  setStatusBar(status_);
  status_->SetPaneText(1, QStringLiteral("Starting up.. please wait"));

  BuildMenus();
  missedModel_ = new MissedCallsModel(calls_, this);
  missedDialog_ = new MissedCallsDialog(*missedModel_, this);
  // Put away with OK, Cancel or the close box: the user has seen the list.
  connect(missedDialog_, &QDialog::finished, missedModel_, &MissedCallsModel::MarkSeen);
  connect(missedModel_, &MissedCallsModel::unseenChanged, this, &MainWindow::UpdateTitle);
  connect(&calls_, &CallController::missedCall, missedDialog_, &QWidget::show);
  BuildTrayMenu();
  if (options_.useTray) BuildTray();
  Bind();
  if (presence_ != nullptr) BindPresence();
  BindRecording();
  ReloadHistory(calls_.IpHistory());
  for (int pane = 0; pane < 3; ++pane) {
    if (!calls_.PaneText(pane).isEmpty()) status_->SetPaneText(pane, calls_.PaneText(pane));
  }
  UpdateButtons();
  resize(540, 620);
}

MainWindow::~MainWindow() {
  // Undecided callers are turned away with their windows.
  if (incoming_ != nullptr) incoming_->Dismiss();
  for (auto& [id, popup] : conferencePopups_) {
    if (popup != nullptr) popup->Dismiss();
  }
}

QWidget* MainWindow::BuildCallArea() {
  auto* area = new QWidget(this);
  auto* layout = new QHBoxLayout(area);
  layout->setContentsMargins(0, 0, 0, 0);
  talk_ = CallButton(QStringLiteral("T&alk"), HandsetIcon(QColor(0x2e, 0x9e, 0x44)),
                     QStringLiteral("talkButton"),
                     QStringLiteral("Click here to talk with your buddy"), area);
  conference_ = CallButton(QStringLiteral("&Conference"), ConferenceIcon(),
                           QStringLiteral("conferenceButton"),
                           QStringLiteral("Click here to add a user to this conference"), area);
  hangUp_ = CallButton(QStringLiteral("Hang &Up"), HandsetIcon(QColor(0xc8, 0x2b, 0x2b), true),
                       QStringLiteral("hangUpButton"),
                       QStringLiteral("Click here to hang up the current call in progress"), area);
  layout->addWidget(talk_);
  layout->addWidget(conference_);
  layout->addWidget(hangUp_);
  levels_ = new LevelDisplay(area);
  levels_->setObjectName(QStringLiteral("levelDisplay"));
  levels_->setMinimumWidth(130);
  levelCaption_ = new QLabel(area);
  levelCaption_->setObjectName(QStringLiteral("levelCaption"));
  QFont bold = levelCaption_->font();
  bold.setBold(true);
  levelCaption_->setFont(bold);
  auto* meters = new QVBoxLayout;
  meters->addWidget(levels_);
  meters->addWidget(levelCaption_);
  layout->addLayout(meters);
  return area;
}

QWidget* MainWindow::BuildConnectPage() {
  auto* page = new QWidget(this);
  page->setObjectName(QStringLiteral("connectByIpPage"));
  auto* layout = new QVBoxLayout(page);
  auto* label = new QLabel(QStringLiteral("IP address or computer name:"), page);
  address_ = new QComboBox(page);
  address_->setObjectName(QStringLiteral("address"));
  address_->setEditable(true);
  address_->setInsertPolicy(QComboBox::NoInsert);
  address_->setToolTip(
      QStringLiteral("Enter the IP address or the name of the computer you want to connect to."));
  label->setBuddy(address_);
  auto* help = new QLabel(
      QStringLiteral("Optionally, if you also want to specify a port use ' : ' after the "
                     "address.\n\nExamples:\n    192.168.1.20\n    192.168.1.20:1721\n    "
                     "mycomputer.example.org"),
      page);
  help->setObjectName(QStringLiteral("connectHelp"));
  help->setWordWrap(true);
  layout->addWidget(label);
  layout->addWidget(address_);
  layout->addWidget(help);
  layout->addStretch();
  connect(address_->lineEdit(), &QLineEdit::returnPressed, this, [this] {
    if (calls_.TalkVisible()) talk_->click();
  });
  return page;
}

QWidget* MainWindow::BuildPlayerArea() {
  auto* box = new QGroupBox(QStringLiteral("Record / Play"), this);
  box->setObjectName(QStringLiteral("playerArea"));
  auto* grid = new QGridLayout(box);
  const auto button = [box](const char* text, const char* name) {
    auto* b = new QPushButton(QString::fromLatin1(text), box);
    b->setObjectName(QString::fromLatin1(name));
    b->setEnabled(false);
    return b;
  };
  load_ = button("Load", "loadButton");
  play_ = button("Play", "playButton");
  pause_ = button(" | | ", "pauseButton");
  stop_ = button("Stop", "stopButton");
  export_ = button("Export...", "exportButton");
  export_->setToolTip(QStringLiteral("Save the loaded recording as a WAV file"));
  rec_ = new QCheckBox(QStringLiteral("Rec"), box);
  rec_->setObjectName(QStringLiteral("recBox"));
  rec_->setEnabled(false);
  int column = 0;
  for (QWidget* w :
       {static_cast<QWidget*>(load_), static_cast<QWidget*>(play_), static_cast<QWidget*>(stop_),
        static_cast<QWidget*>(export_), static_cast<QWidget*>(rec_)}) {
    grid->addWidget(w, 0, column++);
  }
  // Pause takes Play's place while playing.
  grid->addWidget(pause_, 0, 1);
  pause_->hide();
  position_ = new QSlider(Qt::Horizontal, box);
  position_->setObjectName(QStringLiteral("playPosition"));
  position_->setRange(0, 100);
  position_->setEnabled(false);
  grid->addWidget(position_, 1, 0, 1, column);
  int row = 2;
  for (const auto& [text, name, tip, line] :
       {std::tuple{"Speaker", "speakerVolume", "Adjust the speaker volume", MixerLine::kSpeaker},
        std::tuple{"Microphone", "microphoneVolume", "Adjust the microphone volume",
                   MixerLine::kMicrophone},
        std::tuple{"Master", "masterVolume", "Adjust the master output volume",
                   MixerLine::kMaster}}) {
    grid->addWidget(new QLabel(QString::fromLatin1(text), box), row, 0);
    auto* slider = new QSlider(Qt::Horizontal, box);
    slider->setObjectName(QString::fromLatin1(name));
    slider->setToolTip(QString::fromLatin1(tip));
    slider->setRange(0, 255);
    slider->setEnabled(false);
    if (options_.mixer != nullptr) BindVolumeSlider(slider, *options_.mixer, line);
    grid->addWidget(slider, row++, 1, 1, column - 1);
  }
  return box;
}

void MainWindow::BindRecording() {
  connect(rec_, &QCheckBox::clicked, this, &MainWindow::RecClicked);
  connect(&calls_, &CallController::recordingAllowedChanged, this, [this](bool allowed) {
    rec_->setChecked(false);
    rec_->setEnabled(allowed);
    SetLevelCaption({}, {});
    if (player_ != nullptr) player_->SetInCall(allowed);
  });
  connect(&calls_, &CallController::recordingSaved, this,
          [this](bool ok, const QString& path, const QString& error) {
            if (ok) {
              status_->SetPaneText(1, QStringLiteral("Recording saved: ") + path);
              return;
            }
            ShowMessage(
                {},
                QStringLiteral("An error occurred while saving the recorded conversation.\n"
                               "Please confirm that the recordings directory specified exists "
                               "and the drive has sufficient amount of free space. (At least "
                               "100MB)\n\n") +
                    error + QStringLiteral("\nThe recording is kept in ") + path,
                true);
          });
  if (player_ == nullptr) return;
  connect(load_, &QPushButton::clicked, this, [this] {
    auto* dialog =
        new QFileDialog(this, QStringLiteral("Load"),
                        QString::fromStdString(settings_->ReadString(keys::kRecordingsDirectory)),
                        QStringLiteral("Orvanta Recorded Conversations (*.dvrec)"));
    dialog->setObjectName(QStringLiteral("loadDialog"));
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, player_, &PlayerController::Load);
    dialog->open();
  });
  connect(play_, &QPushButton::clicked, player_, &PlayerController::Play);
  connect(pause_, &QPushButton::clicked, player_, &PlayerController::Pause);
  connect(stop_, &QPushButton::clicked, player_, &PlayerController::Stop);
  connect(position_, &QSlider::sliderReleased, this, [this] { player_->Seek(position_->value()); });
  connect(export_, &QPushButton::clicked, this, [this] {
    QString suggested = player_->LoadedPath();
    suggested.replace(QRegularExpression(QStringLiteral("\\.dvrec$")), QStringLiteral(".wav"));
    auto* dialog = new QFileDialog(this, QStringLiteral("Export"), suggested,
                                   QStringLiteral("WAV files (*.wav)"));
    dialog->setObjectName(QStringLiteral("exportDialog"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix(QStringLiteral("wav"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, player_, &PlayerController::Export);
    dialog->open();
  });
  connect(player_, &PlayerController::stateChanged, this, &MainWindow::UpdatePlayer);
  connect(player_, &PlayerController::progress, this, [this](int percent) {
    if (!position_->isSliderDown()) position_->setValue(percent);
  });
  connect(player_, &PlayerController::caption, this, &MainWindow::SetLevelCaption);
  connect(player_, &PlayerController::playedLevel, levels_, &LevelDisplay::SetPlayLevel);
  connect(player_, &PlayerController::message, this,
          [this](const QString& text, bool error) { ShowMessage({}, text, error); });
  connect(player_, &PlayerController::exported, this, [this](bool ok, const QString& text) {
    if (ok) {
      status_->SetPaneText(1, text);
    } else {
      ShowMessage({}, text, true);
    }
  });
  UpdatePlayer();
}

void MainWindow::RecClicked(bool on) {
  if (!on) {
    calls_.SetRecording(false);
    SetLevelCaption({}, {});
    return;
  }
  if (!TrimBlanks(settings_->ReadString(keys::kRecordingsDirectory)).empty()) {
    calls_.SetRecording(true);
    SetLevelCaption(QStringLiteral("Recording"), QColor(255, 0, 0));
    return;
  }
  // No recordings directory yet: the user picks one now.
  rec_->setChecked(false);
  auto* dialog = new QFileDialog(this, QStringLiteral("Please select a recordings directory"));
  dialog->setObjectName(QStringLiteral("recordingsDirectoryDialog"));
  dialog->setFileMode(QFileDialog::Directory);
  dialog->setOption(QFileDialog::ShowDirsOnly);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& directory) {
    settings_->WriteString(keys::kRecordingsDirectory, directory.toStdString());
    std::string error;
    if (!PrepareRecordingsDirectory(*settings_, &error)) {
      ShowMessage({}, QString::fromStdString(error), true);
      return;
    }
    if (!calls_.RecordingAllowed()) return;  // the call ended meanwhile
    rec_->setChecked(true);
    RecClicked(true);
  });
  auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Orvanta"),
                              QStringLiteral("Please select a recordings directory. Also confirm "
                                             "the drive has enough amount of free space.(At least "
                                             "100MB)"),
                              QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  connect(box, &QMessageBox::finished, dialog, [dialog] { dialog->open(); });
  box->open();
}

void MainWindow::UpdatePlayer() {
  if (player_ == nullptr) return;
  load_->setEnabled(player_->CanLoad());
  play_->setVisible(!player_->CanPause());
  pause_->setVisible(player_->CanPause());
  play_->setEnabled(player_->CanPlay());
  stop_->setEnabled(player_->CanStop());
  position_->setEnabled(player_->CanSeek());
  export_->setEnabled(player_->CanExport());
}

void MainWindow::SetLevelCaption(const QString& text, const QColor& colour) {
  levelCaption_->setText(text);
  QPalette palette = levelCaption_->palette();
  palette.setColor(QPalette::WindowText, colour.isValid() ? colour : palette.color(QPalette::Text));
  levelCaption_->setPalette(palette);
}

void MainWindow::BuildMenus() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  file->addAction(QStringLiteral("Change Password"), this,
                  [this] { OpenWebPage(ServicePage::kChangePassword); });
  file->addAction(QStringLiteral("Update Your Account"), this,
                  [this] { OpenWebPage(ServicePage::kMyAccount); });
  file->addAction(QStringLiteral("Submit Feedback"), this,
                  [this] { OpenWebPage(ServicePage::kFeedback); });
  logOff_ = file->addAction(QStringLiteral("Log Off"));
  logOff_->setObjectName(QStringLiteral("logOffAction"));
  logOff_->setEnabled(false);  // enabled while logged in
  if (presence_ != nullptr) {
    connect(logOff_, &QAction::triggered, presence_, &PresenceController::Logoff);
  }
  file->addSeparator();
  QAction* exit = file->addAction(QStringLiteral("E&xit"), this, &MainWindow::Exit);
  exit->setObjectName(QStringLiteral("exitAction"));

  QMenu* buddies = menuBar()->addMenu(QStringLiteral("&Buddy List"));
  QAction* add = buddies->addAction(QStringLiteral("&Add Buddy"), this, [this] {
    if (buddiesPage_ != nullptr) pages_->setCurrentWidget(buddiesPage_);
    presence_->AddBuddy();
  });
  QAction* remove = buddies->addAction(QStringLiteral("&Delete Buddy"), this, [this] {
    if (buddiesPage_ == nullptr) {
      presence_->DeleteBuddy({});  // says why not
      return;
    }
    pages_->setCurrentWidget(buddiesPage_);
    buddiesPage_->DeleteSelected();
  });
  QAction* refresh =
      buddies->addAction(QStringLiteral("&Refresh"), this, [this] { presence_->Refresh(); });
  refresh->setToolTip(QStringLiteral("Check for new online buddies right now."));
  for (QAction* action : {add, remove, refresh}) action->setEnabled(presence_ != nullptr);
  buddies->addSeparator();
  buddies->addAction(QStringLiteral("Invite Friend"), this,
                     [this] { OpenWebPage(ServicePage::kInvite); });
  buddies->addAction(QStringLiteral("Register a User"), this,
                     [this] { OpenWebPage(ServicePage::kRegister); });
  buddies->addAction(QStringLiteral("Search for a Buddy"), this,
                     [this] { OpenWebPage(ServicePage::kSearch); });

  QMenu* tools = menuBar()->addMenu(QStringLiteral("&Tools"));
  tools->addAction(QStringLiteral("&Program Settings"), this, &MainWindow::OpenProgramSettings);
  tools->addAction(QStringLiteral("&Network Settings"), this, &MainWindow::OpenNetworkSettings);
  tools->addAction(QStringLiteral("&Test Network Settings"), this,
                   &MainWindow::OpenConnectivityTest);
  QMenu* audio = tools->addMenu(QStringLiteral("&Audio Settings"));
  audio->addAction(QStringLiteral("&Test Audio Settings"), this, &MainWindow::OpenAudioTest);
  const QString volumeControl = options_.volumeControl.isEmpty()
                                    ? QStandardPaths::findExecutable(QStringLiteral("pavucontrol"))
                                    : options_.volumeControl;
  // The desktop's own volume control, on its input or playback tab.
  for (const auto& [text, name, tab] :
       {std::tuple{"System Volume Control - &Recording", "volumeControlRecording", "--tab=4"},
        std::tuple{"System Volume Control - &Playback", "volumeControlPlayback", "--tab=1"}}) {
    const QString argument = QString::fromLatin1(tab);
    QAction* action = audio->addAction(QString::fromLatin1(text), this, [volumeControl, argument] {
      QProcess::startDetached(volumeControl, {argument});
    });
    action->setObjectName(QString::fromLatin1(name));
    if (volumeControl.isEmpty()) {
      action->setEnabled(false);
      action->setToolTip(QStringLiteral("Install the package pavucontrol to use this."));
    }
  }
  audio->setToolTipsVisible(true);
  tools->addSeparator();
  tools->addAction(QStringLiteral("View &Missed Calls"), this, &MainWindow::ShowMissedCalls);
  tools->addAction(QStringLiteral("View &Statistics"), this, &MainWindow::ShowStatistics);

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->addAction(QStringLiteral("Online Help"), this, [this] { OpenWebPage(ServicePage::kHelp); });
  help->addAction(QStringLiteral("Home"), this, [this] { OpenWebPage(ServicePage::kHome); });
  help->addSeparator();
  help->addAction(QStringLiteral("&About Dialvo..."), this, &MainWindow::ShowAbout);
}

void MainWindow::BuildTrayMenu() {
  trayMenu_ = new QMenu(this);
  trayMenu_->setObjectName(QStringLiteral("trayMenu"));
  QAction* talk = trayMenu_->addAction(QStringLiteral("Talk"), this, &MainWindow::Wake);
  talk->setObjectName(QStringLiteral("trayTalk"));
  QFont bold = talk->font();
  bold.setBold(true);
  talk->setFont(bold);
  trayMenu_->setDefaultAction(talk);
  trayMenu_->addSeparator();
  trayLogoff_ = trayMenu_->addAction(QStringLiteral("Logoff"));
  trayLogoff_->setObjectName(QStringLiteral("trayLogoff"));
  trayLogin_ = trayMenu_->addAction(QStringLiteral("Login"), this, &MainWindow::LoginFromTray);
  trayLogin_->setObjectName(QStringLiteral("trayLogin"));
  if (presence_ != nullptr) {
    connect(trayLogoff_, &QAction::triggered, presence_, &PresenceController::Logoff);
  }
  trayMenu_->addSeparator();
  trayMenu_->addAction(QStringLiteral("Program Settings"), this, &MainWindow::OpenProgramSettings)
      ->setObjectName(QStringLiteral("trayProgramSettings"));
  trayMenu_->addAction(QStringLiteral("Network Settings"), this, &MainWindow::OpenNetworkSettings)
      ->setObjectName(QStringLiteral("trayNetworkSettings"));
  trayMenu_->addSeparator();
  trayMenu_->addAction(QStringLiteral("Exit"), this, &MainWindow::Exit)
      ->setObjectName(QStringLiteral("trayExit"));
  // Login and Logoff follow the login whenever the menu opens.
  connect(trayMenu_, &QMenu::aboutToShow, this, &MainWindow::UpdateTrayMenu);
  UpdateTrayMenu();
}

void MainWindow::UpdateTrayMenu() {
  const bool loggedIn = presence_ != nullptr && presence_->LoggedIn();
  trayLogoff_->setEnabled(loggedIn);
  trayLogin_->setEnabled(presence_ != nullptr && !loggedIn && !presence_->LoginRunning());
}

void MainWindow::LoginFromTray() {
  if (presence_ == nullptr || presence_->LoggedIn() || presence_->LoginRunning()) return;
  const StoredLogin stored = presence_->StoredCredentials();
  if (stored.user.empty()) {
    // Nothing stored to log in with: the login page asks.
    Wake();
    return;
  }
  presence_->Login(QString::fromStdString(stored.user), QString::fromStdString(stored.password),
                   stored.autoLogin != 0);
}

void MainWindow::BuildTray() {
  tray_ = new QSystemTrayIcon(ProgramIcon(), this);
  tray_->setToolTip(TrayToolTip());
  tray_->setContextMenu(trayMenu_);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::DoubleClick || why == QSystemTrayIcon::Trigger) Wake();
  });
  tray_->show();
}

QString MainWindow::TrayToolTip() const {
  return WithMissedCount(calls_.State() == CallState::kInCall
                             ? QStringLiteral("Call in progress")
                             : QStringLiteral("Click here to Talk"),
                         missedModel_->Unseen());
}

void MainWindow::ShowMissedCalls() {
  missedModel_->MarkSeen();
  missedDialog_->show();
  missedDialog_->raise();
  missedDialog_->activateWindow();
}

void MainWindow::OpenAudioTest() {
  if (const QString refusal = audioTest_->Refusal(); !refusal.isEmpty()) {
    ShowMessage({}, refusal, false);
    return;
  }
  if (audioTest_->Running()) return;
  auto* dialog = new AudioTestDialog(*audioTest_, options_.mixer, this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->open();
}

void MainWindow::ShowStatistics() {
  auto* dialog = new StatisticsDialog(calls_, this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->open();
}

void MainWindow::UpdateTitle() {
  setWindowTitle(WithMissedCount(calls_.Title(), missedModel_->Unseen()));
  if (tray_ != nullptr) tray_->setToolTip(TrayToolTip());
}

void MainWindow::Bind() {
  if (options_.mixer != nullptr) {
    connect(&calls_, &CallController::callStarted, options_.mixer, &MixerController::CallStarted);
  }
  connect(talk_, &QPushButton::clicked, this, [this] { calls_.Talk(ActivePage(), CallTarget()); });
  connect(conference_, &QPushButton::clicked, this,
          [this] { calls_.AddToConference(ActivePage(), CallTarget()); });
  connect(hangUp_, &QPushButton::clicked, &calls_, &CallController::HangUp);
  connect(conferenceList_, &QWidget::customContextMenuRequested, this,
          &MainWindow::ShowConferenceMenu);

  connect(&calls_, &CallController::stateChanged, this, &MainWindow::UpdateButtons);
  connect(&calls_, &CallController::paneChanged, this,
          [this](int pane, const QString& text) { status_->SetPaneText(pane, text); });
  connect(&calls_, &CallController::titleChanged, this, &MainWindow::UpdateTitle);
  connect(&calls_, &CallController::message, this, &MainWindow::ShowMessage);
  connect(&calls_, &CallController::askHangUp, this, &MainWindow::AskHangUp);
  connect(&calls_, &CallController::notify, this,
          [](const QString& text) { NotifyPopup::Show(text); });
  connect(&calls_, &CallController::connectProgressOpened, this, &MainWindow::OpenProgress);
  connect(&calls_, &CallController::connectProgressText, this, [this](const QString& text) {
    if (progress_ != nullptr) progress_->SetText(text);
  });
  connect(&calls_, &CallController::connectProgressClosed, this, &MainWindow::CloseProgress);
  connect(&calls_, &CallController::connectFailed, this, &MainWindow::ShowConnectFailed);
  connect(&calls_, &CallController::selectBuddyFirst, this, [this] {
    ShowMessage({}, QStringLiteral("Select the buddy from the online list."), false);
  });
  connect(&calls_, &CallController::incomingCall, this, &MainWindow::OpenIncoming);
  connect(&calls_, &CallController::incomingCountdown, this, [this](int left) {
    if (incoming_ != nullptr) incoming_->SetSecondsLeft(left);
  });
  connect(&calls_, &CallController::incomingClosed, this, &MainWindow::CloseIncoming);
  connect(&calls_, &CallController::conferenceRequest, this, &MainWindow::OpenConferenceRequest);
  connect(&calls_, &CallController::conferenceRequestClosed, this,
          &MainWindow::CloseConferenceRequest);
  connect(&calls_, &CallController::captureLevel, levels_, &LevelDisplay::SetCaptureLevel);
  connect(&calls_, &CallController::playLevel, levels_, &LevelDisplay::SetPlayLevel);
  connect(&calls_, &CallController::levelsReset, levels_, &LevelDisplay::Reset);
  connect(&calls_, &CallController::raiseWindow, this, &MainWindow::Wake);
  connect(&calls_, &CallController::ipHistoryChanged, this, &MainWindow::ReloadHistory);
  connect(&calls_, &CallController::shutdownFinished, this, &MainWindow::ExitStepDone);
}

QString MainWindow::CallTarget() const {
  if (ActivePage() == CallPage::kOnline && onlinePage_ != nullptr) {
    return onlinePage_->SelectedBuddy();
  }
  return address_->currentText();
}

void MainWindow::BindPresence() {
  connect(presence_, &PresenceController::shutdownFinished, this, &MainWindow::ExitStepDone);
  connect(presence_, &PresenceController::loggedInChanged, this, &MainWindow::ShowPresencePages);
  connect(presence_, &PresenceController::paneChanged, this,
          [this](int pane, const QString& text) { status_->SetPaneText(pane, text); });
  connect(presence_, &PresenceController::onlineTitleChanged, this, [this](const QString& title) {
    if (onlinePage_ != nullptr) {
      pages_->setTabText(pages_->indexOf(onlinePage_), OnlineTabText(title));
    }
  });
  connect(presence_, &PresenceController::notice, this, &MainWindow::ShowNotice);
  connect(presence_, &PresenceController::message, this, [this](const QString& text, bool warning) {
    OpenMessageBox(this, warning ? QMessageBox::Warning : QMessageBox::Information,
                   QStringLiteral("Orvanta"), text, "messageBox");
  });
  connect(presence_, &PresenceController::notify, this,
          [](const QString& text, int ms) { NotifyPopup::Show(text, 150, 50, ms); });
  connect(presence_, &PresenceController::loginFailed, this, &MainWindow::ShowLoginFailed);
  connect(presence_, &PresenceController::askUserMessage, this, &MainWindow::AskUserMessage);
  connect(presence_, &PresenceController::showPage, this, [](const QString& html) {
    auto* page = new HtmlDialog(QStringLiteral("Orvanta"), html);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      page->move(screen->availableGeometry().center() - QPoint(250, 175));
    }
    page->show();
  });
  ShowPresencePages(presence_->LoggedIn());
}

void MainWindow::ShowPresencePages(bool loggedIn) {
  logOff_->setEnabled(loggedIn);
  // Pages are views of models that live on: they come and go freely.
  const auto drop = [this](QWidget* page) {
    if (page == nullptr) return;
    pages_->removeTab(pages_->indexOf(page));
    page->deleteLater();
  };
  drop(loginPage_);
  drop(onlinePage_);
  drop(buddiesPage_);
  loginPage_ = nullptr;
  onlinePage_ = nullptr;
  buddiesPage_ = nullptr;
  if (loggedIn) {
    onlinePage_ = new OnlinePage(*presence_, calls_, pages_);
    buddiesPage_ = new BuddiesPage(*presence_, pages_);
    pages_->insertTab(0, onlinePage_, OnlineTabText(presence_->OnlineTitle()));
    pages_->insertTab(1, buddiesPage_, QStringLiteral("Bu&ddies"));
    pages_->setCurrentWidget(onlinePage_);
  } else {
    loginPage_ = new LoginPage(*presence_, pages_);
    pages_->insertTab(0, loginPage_, QStringLiteral("&Login"));
    pages_->setCurrentWidget(loginPage_);
    loginPage_->FocusFirstField();
  }
}

void MainWindow::ShowNotice(const QString& caption, const QString& text, int seconds, int icon) {
  if (seconds > 0) {
    auto* box = new DelayMessageBox(caption, text, seconds, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return;
  }
  QMessageBox::Icon shown = QMessageBox::NoIcon;
  if (icon == static_cast<int>(Notice::Icon::kInformation)) shown = QMessageBox::Information;
  if (icon == static_cast<int>(Notice::Icon::kExclamation)) shown = QMessageBox::Warning;
  if (icon == static_cast<int>(Notice::Icon::kError)) shown = QMessageBox::Critical;
  auto* box = new QMessageBox(shown, caption, text, QMessageBox::Ok, this);
  box->setObjectName(QStringLiteral("noticeBox"));
  box->setTextFormat(Qt::PlainText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void MainWindow::ShowLoginFailed() {
  auto* box = new DelayMessageBox(
      QStringLiteral("Login Failed"),
      QStringLiteral("Cannot connect to the server.\n\n"
                     "1. Are you connected to the internet now?\n"
                     "2. If your network reaches the web only through an HTTP proxy, set it in "
                     "Tools > Network Settings.\n"
                     "3. The server may be down for maintenance. Please try again later."),
      30, this);
  box->setObjectName(QStringLiteral("loginFailedDialog"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  constexpr int kShowNetworkSettings = 2;
  constexpr int kHelp = 3;
  box->AddButton(QStringLiteral("Show &Network Settings"), kShowNetworkSettings)
      ->setObjectName(QStringLiteral("showNetworkSettings"));
  box->AddButton(QStringLiteral("&Help"), kHelp);
  connect(box, &QDialog::finished, this, [this](int result) {
    if (result == kShowNetworkSettings) OpenNetworkSettings();
    if (result == kHelp) OpenWebPage(ServicePage::kHelp);
  });
  box->open();
}

void MainWindow::AskUserMessage(const QString& text, const QString& url, bool withIcon) {
  auto* box =
      new QMessageBox(withIcon ? QMessageBox::Information : QMessageBox::NoIcon,
                      QStringLiteral("Orvanta"), text, QMessageBox::Yes | QMessageBox::No, this);
  box->setObjectName(QStringLiteral("userMessageBox"));
  box->setTextFormat(Qt::PlainText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  connect(box, &QMessageBox::finished, this, [this, box, url](int) {
    if (box->clickedButton() == box->button(QMessageBox::Yes) && !url.isEmpty()) {
      presence_->OpenPage(url.toStdString());
    }
  });
  box->open();
}

CallPage MainWindow::ActivePage() const {
  QWidget* page = pages_->currentWidget();
  if (page != nullptr && page->objectName() == QLatin1String("connectByIpPage")) {
    return CallPage::kConnectByIp;
  }
  if (page != nullptr && page->objectName() == QLatin1String("onlinePage"))
    return CallPage::kOnline;
  if (page != nullptr && page->objectName() == QLatin1String("buddiesPage")) {
    return CallPage::kBuddies;
  }
  return CallPage::kLogin;
}

void MainWindow::UpdateButtons() {
  talk_->setVisible(calls_.TalkVisible());
  hangUp_->setVisible(calls_.HangUpVisible());
  conference_->setVisible(calls_.ConferenceVisible());
  if (tray_ != nullptr) tray_->setToolTip(TrayToolTip());
}

void MainWindow::ShowMessage(const QString& title, const QString& text, bool error) {
  OpenMessageBox(this, error ? QMessageBox::Critical : QMessageBox::Information,
                 title.isEmpty() ? QStringLiteral("Orvanta") : title, text, "messageBox");
}

void MainWindow::AskHangUp() {
  auto* box = new QMessageBox(QMessageBox::Question, QStringLiteral("Orvanta"),
                              QStringLiteral("Do you want to disconnect the current connection?"),
                              QMessageBox::Yes | QMessageBox::No, this);
  box->setObjectName(QStringLiteral("hangUpQuestion"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  connect(box, &QMessageBox::finished, &calls_, [this, box](int) {
    calls_.ConfirmHangUp(box->clickedButton() == box->button(QMessageBox::Yes));
  });
  box->open();
}

void MainWindow::OpenProgress(const QString& text) {
  CloseProgress();
  progress_ = new ConnectProgressDialog(text, this);
  progress_->setAttribute(Qt::WA_DeleteOnClose);
  connect(progress_, &ConnectProgressDialog::cancelRequested, &calls_,
          &CallController::CancelConnect);
  progress_->show();
  // The keyboard follows the attempt: Escape cancels it.
  progress_->raise();
  progress_->activateWindow();
}

void MainWindow::CloseProgress() {
  if (progress_ != nullptr) progress_->Finish();
  progress_ = nullptr;
}

void MainWindow::OpenIncoming(const QString& name, int seconds) {
  CloseIncoming();
  incoming_ = new IncomingCallDialog(name, seconds, this);
  incoming_->setAttribute(Qt::WA_DeleteOnClose);
  connect(incoming_, &IncomingCallDialog::answered, &calls_, &CallController::AnswerIncoming);
  incoming_->show();
  incoming_->raise();
  incoming_->activateWindow();
}

void MainWindow::CloseIncoming() {
  if (incoming_ != nullptr) incoming_->Dismiss();
  incoming_ = nullptr;
}

void MainWindow::OpenConferenceRequest(int id, const QString& name) {
  auto* popup = new ConferenceRequestPopup(id, name);
  connect(popup, &ConferenceRequestPopup::answered, &calls_, &CallController::AnswerConference);
  conferencePopups_[id] = popup;
  popup->ShowNearTray();
}

void MainWindow::CloseConferenceRequest(int id) {
  auto it = conferencePopups_.find(id);
  if (it == conferencePopups_.end()) return;
  if (it->second != nullptr) it->second->Dismiss();
  conferencePopups_.erase(it);
}

void MainWindow::ShowConnectFailed() {
  auto* dialog = new ConnectFailedDialog(
      QUrl(QString::fromStdString(ContextHelpUrl(options_.directoryHost.toStdString(), "15"))),
      this);
  dialog->open();
}

void MainWindow::ShowConferenceMenu(const QPoint& at) {
  const QModelIndex index = conferenceList_->indexAt(at);
  if (!index.isValid()) return;  // only a click on a row
  conferenceList_->selectRow(index.row());
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  const int row = index.row();
  QAction* disconnectUser = menu->addAction(QStringLiteral("Disconnect User"));
  disconnectUser->setObjectName(QStringLiteral("disconnectUser"));
  connect(disconnectUser, &QAction::triggered, &calls_,
          [this, row] { calls_.DisconnectUser(row); });
  menu->popup(conferenceList_->viewport()->mapToGlobal(at));
}

void MainWindow::OpenWebPage(ServicePage page) {
  // The identifying queries go with every page that takes one; the user
  // name only while logged in.
  const bool loggedIn = presence_ != nullptr && presence_->LoggedIn();
  const bool named = page != ServicePage::kChangePassword || loggedIn;
  const std::string user = presence_ != nullptr ? presence_->UserName().toStdString() : "";
  QDesktopServices::openUrl(
      QUrl(QString::fromStdString(ServicePageUrl(options_.directoryHost.toStdString(), page, named,
                                                 options_.instanceGuid.toStdString(), user))));
}

void MainWindow::OpenContextHelp(const QString& id) {
  QDesktopServices::openUrl(QUrl(QString::fromStdString(
      ContextHelpUrl(options_.directoryHost.toStdString(), id.toStdString()))));
}

void MainWindow::OpenNetworkSettings() {
  if (calls_.CallInProgress()) {
    ShowMessage({}, QString::fromLatin1(texts::kNetworkDuringCall), false);
    return;
  }
  auto* dialog = new NetworkSettingsDialog(
      settings_, options_.hostNames.isEmpty() ? LocalHostNames() : options_.hostNames, this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &NetworkSettingsDialog::helpRequested, this, &MainWindow::OpenContextHelp);
  connect(dialog, &QDialog::accepted, this, [this, dialog] {
    NetworkSettingsChanged(dialog->Before(), dialog->Saved(), dialog->TestRequested());
  });
  dialog->open();
}

void MainWindow::NetworkSettingsChanged(const NetworkSettings& before, const NetworkSettings& after,
                                        bool test) {
  // The engine moves first, so that the keep-alive publishes the new port.
  if (before.EffectiveListeningPort() != after.EffectiveListeningPort()) {
    calls_.ChangeListeningPort(static_cast<uint16_t>(after.EffectiveListeningPort()));
  }
  if (presence_ != nullptr) {
    presence_->SetListeningPort(calls_.ListeningPort());
    presence_->Refresh();
  }
  if (test) OpenConnectivityTest();
}

void MainWindow::OpenProgramSettings() {
  auto* dialog = new ProgramSettingsDialog(settings_, options_.programSettings, this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &ProgramSettingsDialog::helpRequested, this, &MainWindow::OpenContextHelp);
  dialog->open();
}

void MainWindow::OpenConnectivityTest() {
  const ConnectivityController::Opening opening = connectivity_->Open();
  if (!opening.refusal.isEmpty()) {
    OpenMessageBox(this, opening.refusalWarning ? QMessageBox::Warning : QMessageBox::Information,
                   QStringLiteral("Orvanta"), opening.refusal, "testRefusedBox");
    return;
  }
  auto* dialog = new ConnectivityTestDialog(*connectivity_, opening, this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &ConnectivityTestDialog::helpRequested, this, &MainWindow::OpenContextHelp);
  dialog->open();
}

void MainWindow::ShowAbout() {
  auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("About Dialvo"),
                              QStringLiteral("Orvanta Dialvo %1\n\nVoice calls from PC to PC.")
                                  .arg(QApplication::applicationVersion()),
                              QMessageBox::Ok, this);
  box->setIconPixmap(ProgramIcon().pixmap(48, 48));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void MainWindow::ReloadHistory(const QStringList& history) {
  const QString text = address_->currentText();
  address_->clear();
  // The newest first, as people expect of a recent-addresses list.
  for (auto it = history.rbegin(); it != history.rend(); ++it) address_->addItem(*it);
  address_->setCurrentText(text);
}

void MainWindow::Wake() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void MainWindow::Exit() {
  if (exitRequested_) return;
  exitRequested_ = true;
  if (incoming_ != nullptr) incoming_->Dismiss();
  // Exit never waits without limit: a host name being looked up cannot be
  // interrupted, and the program leaves without that engine after a while.
  exitTimer_.setSingleShot(true);
  connect(&exitTimer_, &QTimer::timeout, this, [this] {
    if (tray_ != nullptr) tray_->hide();
    emit exitFinished();
  });
  exitTimer_.start(kExitWaitMs);
  exitStepsLeft_ = presence_ != nullptr ? 2 : 1;
  // The logoff goes out before the engine stops, so the buddies see the
  // user leave at once.
  if (presence_ != nullptr) presence_->Shutdown();
  calls_.Shutdown();
}

void MainWindow::ExitStepDone() {
  if (!exitRequested_ || --exitStepsLeft_ > 0) return;
  exitTimer_.stop();
  if (tray_ != nullptr) tray_->hide();
  close();
  emit exitFinished();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  // "Connected To" takes 60 % of the list's width, "Delay [ms]" the rest.
  if (watched == conferenceList_->viewport() && event->type() == QEvent::Resize) {
    conferenceList_->setColumnWidth(0, conferenceList_->viewport()->width() * 6 / 10);
  }
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (exitRequested_) {
    event->accept();
    return;
  }
  event->ignore();
  // Without a tray the window could not be brought back: minimise instead.
  if (tray_ == nullptr) {
    showMinimized();
    return;
  }
  hide();
  if (ReadDword(*settings_, keys::kDontShowDlgOnMinimize) != 0) return;
  auto* info = new TrayInfoDialog;
  connect(info, &TrayInfoDialog::dontShowToggled, this,
          [this](bool on) { settings_->WriteDword(keys::kDontShowDlgOnMinimize, on ? 1 : 0); });
  info->show();
}

}  // namespace dialvo
