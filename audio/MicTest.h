#pragma once
// The audio test: the microphone captured continuously in 200 ms blocks on
// the record thread "Record Thread for MicTest Dlg", each block handed to a
// callback as a copy, and, while echo is on, played straight back on the play
// thread "Play Thread for MicTest Dlg". The voice engine must have let go of
// the sound devices before Start.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/SoundBackend.h"
#include "audio/WaveIn.h"
#include "audio/WaveOut.h"
#include "base/NamedThread.h"

namespace dialvo {

class MicTest {
 public:
  static constexpr uint32_t kBlockSamples = 1600;
  static constexpr const char* kRecordThreadName = "Record Thread for MicTest Dlg";
  static constexpr const char* kPlayThreadName = "Play Thread for MicTest Dlg";

  // Called on the record thread with kBlockSamples samples, a copy the
  // receiver owns. It must not call Start or Stop.
  using BlockFn = std::function<void(std::vector<int16_t> block)>;

  // Null: the process default backend of the moment the devices open.
  explicit MicTest(std::shared_ptr<SoundBackend> backend = nullptr);
  ~MicTest();  // Stop()
  MicTest(const MicTest&) = delete;
  MicTest& operator=(const MicTest&) = delete;

  // Opens both devices (1600, 8000, 1, 16) and starts both threads, the
  // record thread first; each start waits until its thread has opened its
  // device. A device that cannot be opened is not fatal: the other still
  // works; CaptureOpen()/PlaybackOpen() tell, and Errors() says why. A Start
  // while running stops first and begins afresh.
  void Start(BlockFn onBlock);
  // Any thread; takes effect with the next captured block. Kept across Stop.
  void SetEcho(bool on);
  // Ends both threads, stops and closes both devices (capture first).
  // Idempotent; also when Start was never called. Not from the callback.
  void Stop();

  // Whether the device is open: from a Start that opened it until Stop.
  bool CaptureOpen() const;
  bool PlaybackOpen() const;
  // Why a device or thread of the last Start failed, one line each; empty
  // when all went well. Kept until the next Start.
  std::string Errors() const;

 private:
  uint32_t RecordThread();
  uint32_t PlayThread();
  void OnCaptured();
  void StopLocked();
  void NoteError(const std::string& line);
  std::unique_ptr<NamedThread> StartThread(NamedThread::Entry entry, const char* name);

  WaveIn capture_;
  // Written by the record thread (echo) and drained by the play thread; its
  // own lock guards the ring.
  WaveOut playback_;

  // Taken by Start and Stop so that one runs at a time.
  std::mutex lifecycle_;
  std::unique_ptr<NamedThread> recordThread_;
  std::unique_ptr<NamedThread> playThread_;
  // Set by Start before the record thread exists, cleared by Stop after it
  // ended; the record thread alone calls it in between.
  BlockFn onBlock_;

  std::atomic<bool> echo_{false};
  std::atomic<bool> captureOpen_{false};
  // Also the gate for echo: the record thread writes to playback_ only once
  // the play thread has opened it.
  std::atomic<bool> playbackOpen_{false};

  mutable std::mutex errorsMutex_;  // guards errors_; taken by the threads and any reader
  std::string errors_;
};

}  // namespace dialvo
