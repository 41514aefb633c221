#pragma once
// The audio test as the window sees it: whether it may run, the captured
// blocks for the waveform, "Play what I speak", and the engine stepping
// aside while the test holds the sound devices. A QObject without widgets;
// the devices open and close on a worker thread.
#include <QObject>
#include <QString>
#include <memory>
#include <vector>

#include "app/CallController.h"
#include "app/SerialWorker.h"
#include "audio/MicTest.h"

namespace dialvo {

class AudioTestController final : public QObject {
  Q_OBJECT
 public:
  // backend null: the process default.
  AudioTestController(CallController& calls, std::shared_ptr<SoundBackend> backend,
                      QObject* parent = nullptr);
  ~AudioTestController() override;

  // Not empty: the test cannot run now, and this says why.
  QString Refusal() const;
  bool Running() const { return running_; }

 public slots:
  // Stops the engine (a recording is saved), then opens the devices.
  void Start();
  void SetEcho(bool on);
  // Closes the devices; the engine listens again.
  void Stop();

 signals:
  // The devices are open (or not: errors says why).
  void started(bool captureOpen, bool playbackOpen, const QString& errors);
  void block(const std::vector<int16_t>& samples);
  void stopped();

 protected:
  bool event(QEvent* event) override;

 private:
  CallController& calls_;
  std::shared_ptr<MicTest> test_;
  bool running_ = false;
  bool stopping_ = false;
  SerialWorker worker_{"Audio Test Thread"};
};

}  // namespace dialvo
