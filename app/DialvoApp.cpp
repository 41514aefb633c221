#include "app/DialvoApp.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/CallController.h"
#include "app/MainWindow.h"
#include "app/MixerController.h"
#include "app/PlayerController.h"
#include "app/PresenceController.h"
#include "app/SingleInstance.h"
#include "app/SystemSounds.h"
#include "audio/PlaySound.h"
#include "base/DataPaths.h"
#include "controls/PaneStatusBar.h"
#include "settings/Autostart.h"
#include "settings/Settings.h"

namespace dialvo {

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  // Nothing to do if the pipe is full: an exit is under way already.
  [[maybe_unused]] const ssize_t n = write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM become File > Exit on the GUI thread.
void RouteSignalsTo(MainWindow& window) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &window);
  QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
    char buffer[16];
    while (read(signalPipe[0], buffer, sizeof buffer) > 0) {
    }
    window.Exit();
  });
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

QString SoundDirectory() {
  if (const char* dir = std::getenv("DIALVO_SOUND_DIR"); dir != nullptr && *dir != '\0') {
    return QString::fromLocal8Bit(dir);
  }
  return QString::fromStdString(FindDataDirectory("sounds").string());
}

}  // namespace

int RunDialvo(const AppOptions& options) {
  auto settings = std::make_shared<SettingsStore>(options.configDirectory.toStdString());
  SingleInstance instance(SingleInstanceName(QString::fromStdString(settings->Directory())));
  QString instanceError;
  if (!instance.Claim(&instanceError)) return 0;  // the running one comes to the front
  if (!instanceError.isEmpty()) {
    std::fprintf(stderr, "dialvo: cannot guard against a second instance: %s\n",
                 qPrintable(instanceError));
  }

  SoundBackendOptions soundOptions;
  soundOptions.kind = options.audio;
  std::string soundError;
  std::shared_ptr<SoundBackend> sound = CreateSoundBackend(soundOptions, &soundError);
  if (sound == nullptr) {
    std::fprintf(stderr, "dialvo: %s\n", soundError.c_str());
    return 1;
  }
  SetDefaultSoundBackend(sound);
  SetSoundDirectory(SoundDirectory().toStdString());

  std::string recordingsError;
  if (!PrepareRecordingsDirectory(*settings, &recordingsError) && !recordingsError.empty()) {
    std::fprintf(stderr, "dialvo: %s\n", recordingsError.c_str());
  }

  CallController::Options callOptions;
  callOptions.listeningPort =
      static_cast<uint16_t>(LoadNetworkSettings(*settings).EffectiveListeningPort());
  // Calls being recorded live in the user's cache until they are saved.
  callOptions.recordingTemporaryDirectory = DefaultCacheDirectory() / "recordings";
  EngineConfig engineConfig;
  engineConfig.sound = sound;
  auto sounds = std::make_shared<SystemSounds>();
  CallController calls(callOptions, std::make_shared<NetCoreFactory>(engineConfig), sounds,
                       settings);

  PresenceController::Options presenceOptions;
  presenceOptions.config.client.directoryHost = options.server.toStdString();
  // Programs with settings of their own keep the directory's answer apart.
  if (!options.configDirectory.isEmpty()) {
    presenceOptions.config.client.cacheDirectory = options.configDirectory.toStdString();
  }
  PresenceController presence(presenceOptions, settings, calls, sounds);

  MainWindowOptions windowOptions;
  windowOptions.directoryHost =
      options.server.isEmpty() ? QString::fromStdString(DirectoryHost(*settings)) : options.server;
  windowOptions.useTray = QSystemTrayIcon::isSystemTrayAvailable();
  windowOptions.instanceGuid = QString::fromStdString(presence.Client().InstanceGuid());
  windowOptions.connectivity.client = presenceOptions.config.client;
  windowOptions.programSettings.program = ProgramPath();
  windowOptions.sound = sound;
  // The volumes exist only on a sound server; the null backend has none.
  std::unique_ptr<MixerController> mixer;
  if (options.audio == SoundBackendKind::kPulse) {
    mixer = std::make_unique<MixerController>(MixerOptions{});
    mixer->Start(ReadDword(*settings, keys::kAutoMMSettings) != 0);
    windowOptions.mixer = mixer.get();
  }
  PlayerController player(sound);
  MainWindow window(calls, &presence, settings, windowOptions, nullptr, &player);
  QObject::connect(&instance, &SingleInstance::wakeUp, &window, &MainWindow::Wake);
  QObject::connect(&window, &MainWindow::exitFinished, qApp, &QCoreApplication::quit);
  RouteSignalsTo(window);

  calls.Start();
  presence.Start(calls.ListeningPort());
  window.StatusPanes()->SetPaneText(1, options.localService
                                           ? QStringLiteral("Local service %1").arg(options.server)
                                           : QStringLiteral("Ready"));
  // A recording left behind by a program that ended without saving it.
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(callOptions.recordingTemporaryDirectory, ec)) {
    if (entry.path().filename().string().ends_with(".dvrec.part")) {
      window.StatusPanes()->SetPaneText(1, QStringLiteral("An unsaved recording is kept in ") +
                                               QString::fromStdString(entry.path().string()));
      break;
    }
  }
  if (!options.dontShow) window.show();
  const int status = QApplication::exec();
  if (!calls.Idle()) {
    // A connect stuck in a name lookup: its thread cannot be joined in time.
    std::fprintf(stderr, "dialvo: a call attempt did not end in time; leaving without it\n");
    std::fflush(nullptr);
    std::_Exit(status);
  }
  return status;
}

}  // namespace dialvo
