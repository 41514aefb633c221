#pragma once
// Fakes for the desktop program's tests: an engine whose events the test
// posts through the real event path, a factory that keeps a record of every
// engine it made, and sounds that are only written down.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QTest>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/CallController.h"
#include "app/MainWindow.h"
#include "app/MixerController.h"
#include "audio/SoundBackend.h"
#include "engine/EngineEvents.h"
#include "engine/EventSink.h"
#include "settings/SettingsStore.h"
#include "tests/support/FakeClock.h"
#include "tests/support/LoopbackPorts.h"
#include "tests/support/ScratchDir.h"

namespace dialvo::test {

// What one fake engine went through; outlives the engine.
struct FakeEngineRecord {
  uint16_t port = 0;
  std::string userName;
  EventSink* sink = nullptr;
  std::atomic<bool> active{false};
  std::atomic<int> stops{0};
  std::atomic<bool> deleted{false};
  std::atomic<int> connects{0};
  std::mutex mutex;  // guards the members below; taken by the test and Connect's thread
  std::string host;
  uint32_t callPort = 0;
  std::vector<PeerEntry> peers;
  std::vector<Connection*> disconnected;
  const std::atomic<uint32_t>* cancel = nullptr;
  std::atomic<bool> releaseConnect{false};
};

class FakeEngine final : public INetCore {
 public:
  explicit FakeEngine(std::shared_ptr<FakeEngineRecord> record) : record_(std::move(record)) {}
  ~FakeEngine() override { record_->deleted = true; }
  Connection* Connect(const CallRequest& request) override;
  bool StartServer() override { return true; }
  bool Stop() override {
    ++record_->stops;
    return true;
  }
  bool IsActive() const override { return record_->active; }
  bool SendPing(uint32_t, const SockAddr&) override { return true; }
  bool SendKeepAlive() override { return true; }
  std::string GetSessionId() const override { return {}; }
  void SetRecording(bool) override {}
  void SetUserName(std::string_view name) override {
    std::lock_guard lock(record_->mutex);
    record_->userName = name;
  }
  void SetValidation(bool) override {}
  bool GetPeers(std::vector<PeerEntry>& peers) override {
    std::lock_guard lock(record_->mutex);
    peers = record_->peers;
    return true;
  }
  bool Disconnect(Connection* connection) override {
    std::lock_guard lock(record_->mutex);
    record_->disconnected.push_back(connection);
    return true;
  }

 private:
  std::shared_ptr<FakeEngineRecord> record_;
};

class FakeFactory final : public EngineFactory {
 public:
  Made Create(uint16_t port, EventSink* sink, const std::string& userName) override;
  std::vector<std::shared_ptr<FakeEngineRecord>> engines;
  // The port a new engine reports; 0 makes it fail to listen.
  uint16_t boundPort = 1720;
  // Connect waits until released (Release) or cancelled.
  bool holdConnect = false;
};

class FakeSounds final : public CallSounds {
 public:
  void Play(const char* name, bool loop) override {
    log.push_back(std::string(loop ? "loop " : "play ") + name);
  }
  void PlayUnlessPlaying(const char* name) override { log.push_back(std::string("ring ") + name); }
  void Stop() override { log.push_back("stop"); }
  void Beep() override { log.push_back("beep"); }
  std::vector<std::string> log;
};

// A visible top-level window with this object name (and this parent, when
// one is given); null when there is none.
template <typename T = QWidget>
T* VisibleWindow(const char* name, const QObject* parent = nullptr) {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->objectName() == QLatin1String(name) && w->isVisible() &&
        (parent == nullptr || w->parent() == parent)) {
      return qobject_cast<T*>(w);
    }
  }
  return nullptr;
}

// The descendant of parent with this object name; a failure when none.
template <typename T>
T* Child(const QObject* parent, const char* name) {
  T* child = parent->findChild<T*>(QString::fromLatin1(name));
  if (child == nullptr) ADD_FAILURE() << "no child " << name;
  return child;
}

// Processes GUI events until pred holds or timeoutMs passed.
bool WaitForGui(const std::function<bool()>& pred, int timeoutMs = 3000);

// Shuts a controller down and waits for its shutdownFinished; done: it has
// finished already and will not say so again.
template <typename T>
bool ShutDown(T& controller, bool done = false, int timeoutMs = 3000) {
  QObject context;  // the connection ends with this call
  QObject::connect(&controller, &T::shutdownFinished, &context, [&done] { done = true; });
  controller.Shutdown();
  return WaitForGui([&done] { return done; }, timeoutMs);
}

inline QMessageBox* ShownBox(const char* name) { return VisibleWindow<QMessageBox>(name); }

// Waits for the message box of this name, presses button and waits until
// the box has gone.
bool AnswerBox(const char* name, QMessageBox::StandardButton button);

// A window without a tray whose private-network list offers only "desk" and
// whose volume control starts nothing.
MainWindowOptions PlainWindow(MixerController* mixer = nullptr);

// Sound on files: capture from playFile, looped, and playback into recFile
// (empty: dropped). Without a playFile, the null backend.
std::shared_ptr<SoundBackend> FileSound(const std::string& playFile = {},
                                        const std::string& recFile = {});

// A mixer on the sound server at address, opened (and its automatic
// settings run when asked).
std::unique_ptr<MixerController> OpenMixer(const std::string& address, bool automatic);

// A controller on fakes, with its settings in a scratch directory.
struct ControllerRig {
  // statusTickMs 0: no status ticks (the rig's clock drives the rows).
  explicit ControllerRig(int ringTickMs = 1000, int statusTickMs = 1000);
  ~ControllerRig();
  // The newest engine's record.
  FakeEngineRecord& Engine() { return *factory->engines.back(); }
  // Posts an engine event as the newest engine would.
  void Post(uint32_t code, uintptr_t data = 0) { Engine().sink->PostEvent(code, data); }
  // Posts and handles it.
  void Deliver(uint32_t code, uintptr_t data = 0);
  // Both with a record or connection pointer as the event's data.
  template <typename R>
  void Post(uint32_t code, R* data) {
    Post(code, reinterpret_cast<uintptr_t>(data));
  }
  template <typename R>
  void Deliver(uint32_t code, R* data) {
    Deliver(code, reinterpret_cast<uintptr_t>(data));
  }
  // An incoming request from the newest engine; returns the engine side's share.
  std::shared_ptr<IncomingRequest> Caller(const std::string& name,
                                          uint32_t code = EV_INCOMING_CALL);
  // Until the engine number count exists and its Connect runs.
  bool Connecting(size_t count) {
    return WaitForGui(
        [this, count] { return factory->engines.size() == count && Engine().connects == 1; });
  }
  // Makes the newest engine's call up, with one peer.
  void StartCall(Connection* peer, const char* name);
  std::vector<QString> messages;
  std::vector<QString> notes;

  ScratchDir dir;
  FakeClock clock{1000};
  std::shared_ptr<SettingsStore> settings;
  std::shared_ptr<FakeFactory> factory = std::make_shared<FakeFactory>();
  std::shared_ptr<FakeSounds> sounds = std::make_shared<FakeSounds>();
  std::unique_ptr<CallController> calls;
};

// A connection pointer used only as an identifier.
inline Connection* FakeConnection(uintptr_t n) { return reinterpret_cast<Connection*>(n * 16); }

}  // namespace dialvo::test
