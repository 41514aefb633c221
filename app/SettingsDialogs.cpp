#include "app/SettingsDialogs.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHostInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <tuple>

#include "app/CallDialogs.h"
#include "controls/LinkLabel.h"
#include "service/LocalAddress.h"

namespace dialvo {

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

QLabel* GroupTitle(const char* text) {
  auto* label = new QLabel(QString::fromLatin1(text));
  QFont font = label->font();
  font.setWeight(QFont::DemiBold);
  label->setFont(font);
  return label;
}

QPlainTextEdit* ReadOnlyText(const QString& text, int lines) {
  auto* edit = new QPlainTextEdit(text);
  edit->setReadOnly(true);
  edit->setFixedHeight(edit->fontMetrics().lineSpacing() * lines + 12);
  return edit;
}

QHBoxLayout* Row(std::initializer_list<QWidget*> widgets) {
  auto* row = new QHBoxLayout;
  for (QWidget* w : widgets) row->addWidget(w);
  return row;
}

}  // namespace

QStringList LocalHostNames() {
  QStringList names{QHostInfo::localHostName()};
  for (const std::string& address : HostAddresses()) names.append(Q(address));
  names.removeAll(QString());
  names.removeDuplicates();
  return names;
}

// ---- Network Settings ----

NetworkSettingsDialog::NetworkSettingsDialog(std::shared_ptr<SettingsStore> settings,
                                             const QStringList& hostNames, QWidget* parent)
    : QDialog(parent), settings_(std::move(settings)) {
  setObjectName(QStringLiteral("networkSettingsDialog"));
  setWindowTitle(QStringLiteral("Network Settings"));
  before_ = LoadNetworkSettings(*settings_);
  const NetworkSettingsValues v = NetworkValuesFrom(before_);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(GroupTitle("Listening Port"));
  alternatePort_ = new QCheckBox(QStringLiteral("Use &another port (Not recommended)"));
  alternatePort_->setObjectName(QStringLiteral("alternatePort"));
  port_ = new QLineEdit;
  port_->setObjectName(QStringLiteral("listeningPort"));
  port_->setMaximumWidth(90);
  layout->addLayout(Row({alternatePort_, port_}));

  layout->addWidget(GroupTitle("HTTP Proxy"));
  useProxy_ = new QCheckBox(QStringLiteral("Use a &proxy server"));
  useProxy_->setObjectName(QStringLiteral("useProxy"));
  proxyName_ = new QLineEdit;
  proxyName_->setObjectName(QStringLiteral("proxyName"));
  proxyPort_ = new QLineEdit;
  proxyPort_->setObjectName(QStringLiteral("proxyPort"));
  proxyPort_->setMaximumWidth(90);
  auto* nameLabel = new QLabel(QStringLiteral("Add&ress:"));
  nameLabel->setBuddy(proxyName_);
  auto* portLabel = new QLabel(QStringLiteral("P&ort:"));
  portLabel->setBuddy(proxyPort_);
  layout->addLayout(Row({useProxy_, nameLabel, proxyName_, portLabel, proxyPort_}));

  layout->addWidget(GroupTitle("Internet connection and incoming calls configuration"));
  choices_ = new QButtonGroup(this);
  const char* labels[3] = {
      "[Default Setting] &Directly connected to internet. Allow incoming calls from internet.",
      "Connected through a &firewall. Allow incoming calls from internet through my firewall.",
      "Connected through a firewall that does &not allow incoming calls from internet."};
  const char* names[3] = {"directChoice", "firewallChoice", "privateChoice"};
  for (int i = 0; i < 3; ++i) {
    radios_[i] = new QRadioButton(QString::fromLatin1(labels[i]));
    radios_[i]->setObjectName(QString::fromLatin1(names[i]));
    choices_->addButton(radios_[i], i);
    layout->addWidget(radios_[i]);
  }
  panes_ = new QStackedWidget;
  panes_->addWidget(BuildDirectPane());
  panes_->addWidget(BuildFirewallPane());
  panes_->addWidget(BuildPrivatePane());
  layout->addWidget(panes_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                       QDialogButtonBox::Help);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &NetworkSettingsDialog::Ok);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(buttons, &QDialogButtonBox::helpRequested, this,
          [this] { emit helpRequested(QStringLiteral("10")); });

  // The fields from the stored values.
  alternatePort_->setChecked(v.useAlternatePort);
  port_->setText(Q(v.listeningPort));
  useProxy_->setChecked(v.useProxy);
  proxyName_->setText(Q(v.proxyName));
  proxyPort_->setText(Q(v.proxyPort));
  autoDetect_->setChecked(v.autoDetectFirewall);
  firewallAddress_->setText(Q(v.firewallAddress));
  lanAddress_->addItems(hostNames);
  lanCalls_->setChecked(v.lanCalls);
  lanAddress_->setEditText(Q(v.lanAddress));
  const int choice = static_cast<int>(v.choice);
  radios_[choice]->setChecked(true);
  ShowChoice(choice);
  UpdateEnabled();

  connect(choices_, &QButtonGroup::idClicked, this, &NetworkSettingsDialog::ShowChoice);
  for (QCheckBox* box : {alternatePort_, useProxy_, autoDetect_, lanCalls_}) {
    connect(box, &QCheckBox::toggled, this, &NetworkSettingsDialog::UpdateEnabled);
  }
  connect(alternatePort_, &QCheckBox::toggled, this, [this](bool on) {
    // Without the box the default port is the one in use, and shown.
    if (!on) port_->setText(QString::number(kDefaultListeningPort));
  });
}

QWidget* NetworkSettingsDialog::BuildDirectPane() {
  auto* pane = new QWidget;
  auto* layout = new QVBoxLayout(pane);
  layout->addWidget(GroupTitle("Direct Connection"));
  layout->addWidget(ReadOnlyText(QString::fromLatin1(texts::kPersonalFirewallAdvice), 4));
  auto* test = new QPushButton(QStringLiteral("Apply Settings and &Test"));
  test->setObjectName(QStringLiteral("applyAndTestDirect"));
  connect(test, &QPushButton::clicked, this, &NetworkSettingsDialog::OkAndTest);
  layout->addWidget(test, 0, Qt::AlignLeft);
  return pane;
}

QWidget* NetworkSettingsDialog::BuildFirewallPane() {
  auto* pane = new QWidget;
  auto* layout = new QVBoxLayout(pane);
  layout->addWidget(GroupTitle("Firewall Settings"));
  autoDetect_ = new QCheckBox(QStringLiteral("Auto detect Firewall &IP Address?"));
  autoDetect_->setObjectName(QStringLiteral("autoDetectFirewall"));
  layout->addWidget(autoDetect_);
  firewallAddress_ = new QLineEdit;
  firewallAddress_->setObjectName(QStringLiteral("firewallAddress"));
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Firewall IP address or &host name:"), firewallAddress_);
  layout->addLayout(form);
  auto* link = new LinkLabel(QStringLiteral("Learn more about configuring behind a firewall"));
  connect(link, &LinkLabel::activated, this, [this] { emit helpRequested(QStringLiteral("16")); });
  layout->addWidget(link);
  auto* test = new QPushButton(QStringLiteral("Apply Settings and &Verify firewall port forward"));
  test->setObjectName(QStringLiteral("applyAndTestFirewall"));
  connect(test, &QPushButton::clicked, this, &NetworkSettingsDialog::OkAndTest);
  layout->addWidget(test, 0, Qt::AlignLeft);
  return pane;
}

QWidget* NetworkSettingsDialog::BuildPrivatePane() {
  auto* pane = new QWidget;
  auto* layout = new QVBoxLayout(pane);
  layout->addWidget(GroupTitle("Private Network or LAN Settings"));
  lanCalls_ = new QCheckBox(
      QStringLiteral("Take &calls from other users in my private network (LAN) at this address:"));
  lanCalls_->setObjectName(QStringLiteral("lanCalls"));
  layout->addWidget(lanCalls_);
  lanAddress_ = new QComboBox;
  lanAddress_->setObjectName(QStringLiteral("lanAddress"));
  lanAddress_->setEditable(true);
  layout->addWidget(lanAddress_);
  auto* link = new LinkLabel(QStringLiteral("Learn more on using the software within your LAN"));
  connect(link, &LinkLabel::activated, this, [this] { emit helpRequested(QStringLiteral("17")); });
  layout->addWidget(link);
  layout->addStretch();
  return pane;
}

void NetworkSettingsDialog::ShowChoice(int choice) {
  for (int i = 0; i < 3; ++i) {
    QFont font = radios_[i]->font();
    font.setWeight(i == choice ? QFont::DemiBold : QFont::Normal);
    radios_[i]->setFont(font);
  }
  panes_->setCurrentIndex(choice);
}

void NetworkSettingsDialog::UpdateEnabled() {
  port_->setReadOnly(!alternatePort_->isChecked());
  proxyName_->setEnabled(useProxy_->isChecked());
  proxyPort_->setEnabled(useProxy_->isChecked());
  firewallAddress_->setEnabled(!autoDetect_->isChecked());
  lanAddress_->setEnabled(lanCalls_->isChecked());
}

NetworkSettingsValues NetworkSettingsDialog::Values() const {
  NetworkSettingsValues v;
  v.useProxy = useProxy_->isChecked();
  v.proxyName = proxyName_->text().toStdString();
  v.proxyPort = proxyPort_->text().toStdString();
  v.useAlternatePort = alternatePort_->isChecked();
  v.listeningPort = port_->text().toStdString();
  v.choice = static_cast<ConnectionChoice>(std::max(0, choices_->checkedId()));
  v.autoDetectFirewall = autoDetect_->isChecked();
  v.firewallAddress = firewallAddress_->text().toStdString();
  v.lanCalls = lanCalls_->isChecked();
  v.lanAddress = lanAddress_->currentText().toStdString();
  return v;
}

void NetworkSettingsDialog::OkAndTest() {
  testRequested_ = true;
  Ok();
}

void NetworkSettingsDialog::Ok() {
  plan_ = PlanNetworkOk(Values(), before_);
  if (!plan_.error.empty()) return Refuse(Q(plan_.error));
  if (plan_.askSameExternalAddress) return AskSameAddress();
  ShowFirewallInformation();
}

void NetworkSettingsDialog::Refuse(const QString& text) {
  testRequested_ = false;
  OpenMessageBox(this, QMessageBox::Warning, QStringLiteral("Network Settings"), text,
                 "refusalBox");
}

void NetworkSettingsDialog::AskSameAddress() {
  QMessageBox* box = OpenMessageBox(this, QMessageBox::Question, QStringLiteral("Network Settings"),
                                    QString::fromLatin1(texts::kSameExternalAddress),
                                    "sameAddressBox", QMessageBox::Yes | QMessageBox::No);
  connect(box, &QMessageBox::finished, this, [this, box](int) {
    if (box->clickedButton() != box->button(QMessageBox::Yes)) {
      testRequested_ = false;
      return;
    }
    ShowFirewallInformation();
  });
}

void NetworkSettingsDialog::ShowFirewallInformation() {
  if (!plan_.showFirewallInformation) return ShowPrivateNote();
  QMessageBox* box = OpenMessageBox(
      this, QMessageBox::Information, QStringLiteral("Firewall configuration information"),
      Q(FirewallInformationText(plan_.settings.EffectiveListeningPort())),
      "firewallInformationBox");
  box->setInformativeText(QString::fromLatin1(texts::kPortForwardSteps));
  connect(box, &QMessageBox::finished, this, [this] { ShowPrivateNote(); });
}

void NetworkSettingsDialog::ShowPrivateNote() {
  if (!plan_.showPrivateNetworkNote) return Save();
  QMessageBox* box =
      OpenMessageBox(this, QMessageBox::Information, QStringLiteral("Settings Changed"),
                     QString::fromLatin1(texts::kPrivateNetworkNote), "privateNoteBox");
  connect(box, &QMessageBox::finished, this, [this] { Save(); });
}

void NetworkSettingsDialog::Save() {
  if (!SaveNetworkSettings(*settings_, plan_.settings)) {
    return Refuse(QStringLiteral("The settings could not be saved in ") +
                  Q(settings_->FilePath().string()) + QStringLiteral("."));
  }
  saved_ = plan_.settings;
  accept();
}

// ---- Program Settings ----

ProgramSettingsDialog::ProgramSettingsDialog(std::shared_ptr<SettingsStore> settings,
                                             ProgramSettingsEnv env, QWidget* parent)
    : QDialog(parent), settings_(std::move(settings)), env_(std::move(env)) {
  setObjectName(QStringLiteral("programSettingsDialog"));
  setWindowTitle(QStringLiteral("Program Settings"));
  auto* layout = new QVBoxLayout(this);
  autoStart_ = new QCheckBox(QStringLiteral("Auto &Startup"));
  autoStart_->setObjectName(QStringLiteral("autoStart"));
  autoStart_->setToolTip(
      QStringLiteral("Start hidden in the tray when you log in to the desktop."));
  layout->addWidget(autoStart_);
  ringTime_ = new QLineEdit;
  ringTime_->setObjectName(QStringLiteral("ringTime"));
  ringTime_->setMaximumWidth(50);
  auto* ring = new QHBoxLayout;
  auto* ringLabel = new QLabel(QStringLiteral("For incoming calls &ring for "));
  ringLabel->setBuddy(ringTime_);
  ring->addWidget(ringLabel);
  ring->addWidget(ringTime_);
  ring->addWidget(new QLabel(QStringLiteral("Sec")));
  ring->addStretch();
  layout->addLayout(ring);
  autoMixer_ =
      new QCheckBox(QStringLiteral("Automatically adjust &multimedia settings on startup. "
                                   "(Recommended)"));
  autoMixer_->setObjectName(QStringLiteral("autoMixer"));
  layout->addWidget(autoMixer_);

  layout->addWidget(GroupTitle("Recordings directory"));
  directory_ = new QLineEdit;
  directory_->setObjectName(QStringLiteral("recordingsDirectory"));
  auto* browse = new QPushButton(QStringLiteral("&Browse"));
  browse->setObjectName(QStringLiteral("browse"));
  connect(browse, &QPushButton::clicked, this, &ProgramSettingsDialog::Browse);
  layout->addLayout(Row({directory_, browse}));

  layout->addWidget(GroupTitle("Show a pop-up"));
  popupOnline_ = new QCheckBox(QStringLiteral("When buddy comes &online"));
  popupOnline_->setObjectName(QStringLiteral("popupBuddyOnline"));
  popupCongestion_ =
      new QCheckBox(QStringLiteral("Packet &loss or network congestion during conversation"));
  popupCongestion_->setObjectName(QStringLiteral("popupCongestion"));
  popupJoinLeave_ =
      new QCheckBox(QStringLiteral("Buddy connects or &disconnects from conversation"));
  popupJoinLeave_->setObjectName(QStringLiteral("popupJoinLeave"));
  for (QCheckBox* box : {popupOnline_, popupCongestion_, popupJoinLeave_}) layout->addWidget(box);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                       QDialogButtonBox::Help);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &ProgramSettingsDialog::Ok);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(buttons, &QDialogButtonBox::helpRequested, this,
          [this] { emit helpRequested(QStringLiteral("14")); });

  const ProgramSettingsValues v = LoadProgramSettings(*settings_, env_);
  autoStart_->setChecked(v.autoStart);
  ringTime_->setText(Q(v.ringTime));
  autoMixer_->setChecked(v.autoMixer);
  directory_->setText(Q(v.recordingsDirectory));
  popupOnline_->setChecked(v.popupBuddyOnline);
  popupCongestion_->setChecked(v.popupCongestion);
  popupJoinLeave_->setChecked(v.popupJoinLeave);
}

ProgramSettingsValues ProgramSettingsDialog::Values() const {
  ProgramSettingsValues v;
  v.autoStart = autoStart_->isChecked();
  v.ringTime = ringTime_->text().toStdString();
  v.autoMixer = autoMixer_->isChecked();
  v.recordingsDirectory = directory_->text().toStdString();
  v.popupBuddyOnline = popupOnline_->isChecked();
  v.popupCongestion = popupCongestion_->isChecked();
  v.popupJoinLeave = popupJoinLeave_->isChecked();
  return v;
}

void ProgramSettingsDialog::Browse() {
  auto* chooser =
      new QFileDialog(this, QStringLiteral("Select Directory for Storing Recorded Conversations."),
                      directory_->text().trimmed());
  chooser->setObjectName(QStringLiteral("directoryChooser"));
  chooser->setFileMode(QFileDialog::Directory);
  chooser->setOption(QFileDialog::ShowDirsOnly);
  chooser->setAttribute(Qt::WA_DeleteOnClose);
  connect(chooser, &QFileDialog::fileSelected, this,
          [this](const QString& folder) { directory_->setText(folder); });
  chooser->open();
}

void ProgramSettingsDialog::Ok() {
  const std::string refused = SaveProgramSettings(*settings_, Values(), env_);
  if (refused.empty()) return accept();
  OpenMessageBox(this, QMessageBox::Warning, QStringLiteral("Program Settings"), Q(refused),
                 "refusalBox");
}

// ---- Connectivity test ----

ConnectivityTestDialog::ConnectivityTestDialog(ConnectivityController& test,
                                               const ConnectivityController::Opening& opening,
                                               QWidget* parent)
    : QDialog(parent), test_(&test) {
  setObjectName(QStringLiteral("connectivityTestDialog"));
  setWindowTitle(opening.title);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(ReadOnlyText(opening.description, 9));
  auto* connection = new QLineEdit(opening.connectionLine);
  connection->setReadOnly(true);
  layout->addWidget(connection);
  layout->addWidget(new QLabel(opening.proxyLine));
  log_ = new QListWidget;
  log_->setObjectName(QStringLiteral("testLog"));
  log_->setMinimumHeight(160);
  layout->addWidget(log_);

  start_ = new QPushButton(QStringLiteral("&Start Test"));
  start_->setObjectName(QStringLiteral("startTest"));
  abort_ = new QPushButton(QStringLiteral("&Abort"));
  abort_->setObjectName(QStringLiteral("abortTest"));
  auto* help = new QPushButton(QStringLiteral("&Help"));
  close_ = new QPushButton(QStringLiteral("&Close"));
  close_->setObjectName(QStringLiteral("closeTest"));
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(start_);
  buttons->addWidget(abort_);
  buttons->addStretch();
  buttons->addWidget(help);
  buttons->addWidget(close_);
  layout->addLayout(buttons);
  start_->setDefault(true);
  resize(560, sizeHint().height());

  connect(start_, &QPushButton::clicked, &test, &ConnectivityController::Start);
  connect(abort_, &QPushButton::clicked, &test, &ConnectivityController::Abort);
  connect(help, &QPushButton::clicked, this, [this] { emit helpRequested(QStringLiteral("13")); });
  connect(close_, &QPushButton::clicked, this, &QDialog::accept);
  connect(&test, &ConnectivityController::logCleared, log_, &QListWidget::clear);
  connect(&test, &ConnectivityController::logLine, this, [this](const QString& line) {
    log_->addItem(line);
    log_->setCurrentRow(log_->count() - 1);  // the newest line stays in view
  });
  connect(&test, &ConnectivityController::runningChanged, this,
          &ConnectivityTestDialog::SetRunning);
  connect(&test, &ConnectivityController::result, this, &ConnectivityTestDialog::ShowResult);
  for (const QString& line : test.Log()) log_->addItem(line);
  SetRunning(test.Running());
}

ConnectivityTestDialog::~ConnectivityTestDialog() {
  if (test_ != nullptr) test_->Closed();
}

QStringList ConnectivityTestDialog::LogLines() const {
  QStringList lines;
  for (int i = 0; i < log_->count(); ++i) lines.append(log_->item(i)->text());
  return lines;
}

void ConnectivityTestDialog::reject() {
  if (test_ != nullptr) test_->Closed();
  QDialog::reject();
}

void ConnectivityTestDialog::SetRunning(bool running) {
  start_->setEnabled(!running);
  close_->setEnabled(!running);
  abort_->setEnabled(running);
}

void ConnectivityTestDialog::ShowResult(int box, const QString& title, const QString& text) {
  using Box = ConnectivityResult::Box;
  const QMessageBox::Icon icon =
      static_cast<Box>(box) == Box::kReached ? QMessageBox::Information : QMessageBox::Critical;
  OpenMessageBox(this, icon, title.isEmpty() ? QStringLiteral("Orvanta") : title, text,
                 "testResultBox");
}

// ---- Audio test ----

AudioTestDialog::AudioTestDialog(AudioTestController& test, MixerController* mixer, QWidget* parent)
    : QDialog(parent), test_(&test) {
  setObjectName(QStringLiteral("audioTestDialog"));
  setWindowTitle(QStringLiteral("Test your Audio Settings"));
  auto* layout = new QVBoxLayout(this);
  auto* intro = new QLabel(QStringLiteral(
      "Speak into your microphone: the waveform shows what it picks up. Tick \"Play what I "
      "speak\" to hear yourself, and set the volumes so that you sound clear and loud."));
  intro->setWordWrap(true);
  layout->addWidget(intro);
  waveform_ = new WaveformView;
  layout->addWidget(waveform_, 1);
  status_ = new QLabel(QStringLiteral("Opening the sound devices..."));
  status_->setObjectName(QStringLiteral("audioTestStatus"));
  status_->setWordWrap(true);
  layout->addWidget(status_);
  auto* echo = new QCheckBox(QStringLiteral("&Play what I speak"));
  echo->setObjectName(QStringLiteral("echoBox"));
  layout->addWidget(echo);
  auto* form = new QFormLayout;
  for (const auto& [text, name, line] :
       {std::tuple{"Master", "testMasterVolume", MixerLine::kMaster},
        std::tuple{"Spk", "testSpeakerVolume", MixerLine::kSpeaker},
        std::tuple{"Mic", "testMicrophoneVolume", MixerLine::kMicrophone}}) {
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setObjectName(QString::fromLatin1(name));
    slider->setRange(0, 255);
    slider->setEnabled(false);
    if (mixer != nullptr) BindVolumeSlider(slider, *mixer, line);
    form->addRow(QString::fromLatin1(text), slider);
  }
  layout->addLayout(form);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel);
  buttons->addButton(QStringLiteral("Finish"), QDialogButtonBox::AcceptRole);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  resize(480, 360);

  connect(echo, &QCheckBox::toggled, &test, &AudioTestController::SetEcho);
  test.SetEcho(false);
  connect(&test, &AudioTestController::block, waveform_, &WaveformView::SetBlock);
  connect(&test, &AudioTestController::started, this,
          [this](bool capture, bool playback, const QString& errors) {
            status_->setText(capture && playback
                                 ? QStringLiteral("Listening to your microphone.")
                                 : QStringLiteral("Some sound devices could not be opened:\n") +
                                       errors);
          });
  // Finish, Cancel and the close box all end the test.
  connect(this, &QDialog::finished, &test, &AudioTestController::Stop);
  test.Start();
}

AudioTestDialog::~AudioTestDialog() {
  if (test_ != nullptr) test_->Stop();
}

}  // namespace dialvo
