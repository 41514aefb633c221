#include "tests/app/AppHarness.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <chrono>
#include <thread>

#include "engine/CallRequest.h"

namespace dialvo::test {

Connection* FakeEngine::Connect(const CallRequest& request) {
  {
    std::lock_guard lock(record_->mutex);
    record_->host = request.host;
    record_->callPort = request.port;
    record_->cancel = &request.cancel;
  }
  ++record_->connects;
  while (!record_->releaseConnect && request.cancel.load() == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::lock_guard lock(record_->mutex);
  record_->cancel = nullptr;
  return record_->peers.empty() ? nullptr : record_->peers.front().connection;
}

EngineFactory::Made FakeFactory::Create(uint16_t port, EventSink* sink,
                                        const std::string& userName) {
  auto record = std::make_shared<FakeEngineRecord>();
  record->port = port;
  record->userName = userName;
  record->sink = sink;
  record->releaseConnect = !holdConnect;
  engines.push_back(record);
  return {std::make_unique<FakeEngine>(record), boundPort};
}

bool WaitForGui(const std::function<bool()>& pred, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QTest::qWait(1);
  }
  return true;
}

bool AnswerBox(const char* name, QMessageBox::StandardButton button) {
  if (!WaitForGui([name] { return ShownBox(name) != nullptr; })) return false;
  ShownBox(name)->button(button)->click();
  return WaitForGui([name] { return ShownBox(name) == nullptr; });
}

MainWindowOptions PlainWindow(MixerController* mixer) {
  MainWindowOptions options;
  options.useTray = false;
  options.hostNames = {QStringLiteral("desk")};
  options.volumeControl = QStringLiteral("/bin/true");
  options.mixer = mixer;
  return options;
}

std::shared_ptr<SoundBackend> FileSound(const std::string& playFile, const std::string& recFile) {
  SoundBackendOptions options;
  options.kind = playFile.empty() ? SoundBackendKind::kNull : SoundBackendKind::kFile;
  options.playFile = playFile;
  options.recFile = recFile;
  options.loop = true;
  std::string error;
  auto sound = CreateSoundBackend(options, &error);
  if (sound == nullptr) ADD_FAILURE() << error;
  return sound;
}

std::unique_ptr<MixerController> OpenMixer(const std::string& address, bool automatic) {
  MixerOptions options;
  options.server = address;
  auto mixer = std::make_unique<MixerController>(options);
  mixer->Start(automatic);
  if (!WaitForGui([&] { return mixer->Ready(); }, 5000)) ADD_FAILURE() << "the mixer never opened";
  return mixer;
}

ControllerRig::ControllerRig(int ringTickMs, int statusTickMs) {
  settings = std::make_shared<SettingsStore>(dir.Path());
  CallController::Options options;
  options.ringTickMs = ringTickMs;
  options.statusTickMs = statusTickMs;
  options.clock = &clock;
  options.recordingTemporaryDirectory = dir.Path() + "/partial";
  calls = std::make_unique<CallController>(options, factory, sounds, settings);
  QObject::connect(calls.get(), &CallController::message, calls.get(),
                   [this](const QString&, const QString& text, bool) { messages.push_back(text); });
  QObject::connect(calls.get(), &CallController::notify, calls.get(),
                   [this](const QString& text) { notes.push_back(text); });
  calls->Start();
}

ControllerRig::~ControllerRig() {
  ShutDown(*calls, calls->State() == CallState::kStopped);
  calls.reset();
}

void ControllerRig::Deliver(uint32_t code, uintptr_t data) {
  Post(code, data);
  QCoreApplication::processEvents();
}

std::shared_ptr<IncomingRequest> ControllerRig::Caller(const std::string& name, uint32_t code) {
  auto request = std::make_shared<IncomingRequest>(name);
  Deliver(code, new IncomingRequestRecord{request});
  return request;
}

void ControllerRig::StartCall(Connection* peer, const char* name) {
  Engine().active = true;
  {
    std::lock_guard lock(Engine().mutex);
    Engine().peers.push_back({peer, name, {}});
  }
  Deliver(EV_CALL_STARTED);
  Deliver(EV_PEER_JOINED, NewPeerInfo(name, peer, 5));
}

}  // namespace dialvo::test
