#include "audio/MicTest.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "audio/PlaySound.h"
#include "base/ThreadId.h"
#include "base/ThreadMessages.h"
#include "base/Trace.h"
#include "base/Wait.h"

namespace dialvo {

namespace {
// Posted to each thread to end it.
constexpr uint32_t kMsgTestThreadQuit = kUserMessageBase + 2;  // 1026

std::string OpenFailure(const char* device, const std::string& reason, uint32_t result) {
  return std::string(device) +
         " could not be opened: " + (reason.empty() ? "error " + std::to_string(result) : reason);
}
}  // namespace

MicTest::MicTest(std::shared_ptr<SoundBackend> backend)
    : capture_(kBlockSamples, 8000, 1, 16, backend),
      playback_(kBlockSamples, 8000, 1, 16, std::move(backend)) {}

MicTest::~MicTest() { Stop(); }

void MicTest::Start(BlockFn onBlock) {
  std::lock_guard lock(lifecycle_);
  StopLocked();
  {
    std::lock_guard errorsLock(errorsMutex_);
    errors_.clear();
  }
  onBlock_ = std::move(onBlock);
  recordThread_ = StartThread(
      [](void* self) { return static_cast<MicTest*>(self)->RecordThread(); }, kRecordThreadName);
  playThread_ = StartThread([](void* self) { return static_cast<MicTest*>(self)->PlayThread(); },
                            kPlayThreadName);
}

std::unique_ptr<NamedThread> MicTest::StartThread(NamedThread::Entry entry, const char* name) {
  auto thread = std::make_unique<NamedThread>(std::move(entry), this, name, false);
  if (!thread->Start(true)) {
    NoteError(std::string(name) + " could not be started");
    return nullptr;
  }
  return thread;
}

void MicTest::SetEcho(bool on) { echo_.store(on); }

void MicTest::Stop() {
  std::lock_guard lock(lifecycle_);
  StopLocked();
}

void MicTest::StopLocked() {
  // The record thread first: once it has ended nothing writes to playback_.
  for (std::unique_ptr<NamedThread>* thread : {&recordThread_, &playThread_}) {
    if (!*thread) continue;
    PostThreadMessage((*thread)->ThreadId(), kMsgTestThreadQuit, 0, 0);
    (*thread)->Wait(kInfinite);
    thread->reset();
  }
  onBlock_ = nullptr;
  capture_.Close();
  captureOpen_.store(false);
  playback_.Close();
  playbackOpen_.store(false);
}

bool MicTest::CaptureOpen() const { return captureOpen_.load(); }

bool MicTest::PlaybackOpen() const { return playbackOpen_.load(); }

std::string MicTest::Errors() const {
  std::lock_guard lock(errorsMutex_);
  return errors_;
}

void MicTest::NoteError(const std::string& line) {
  TraceLog("Audio test: %s", line.c_str());
  std::lock_guard lock(errorsMutex_);
  if (!errors_.empty()) errors_ += '\n';
  errors_ += line;
}

uint32_t MicTest::RecordThread() {
  // The queue first: the device posts to it as soon as it captures.
  PeekMessage();
  if (capture_.Open(CurrentThreadId()) != 0) {
    captureOpen_.store(true);
  } else {
    // Not fatal: the thread runs on, it just receives no blocks.
    NoteError(OpenFailure("The microphone", capture_.LastOpenError(), capture_.OpenResult()));
  }
  NamedThread::Current()->ReleaseStartSemaphore();
  for (;;) {
    const ThreadMessage msg = GetMessage();
    if (msg.message == kMsgTestThreadQuit) break;
    if (msg.message == MM_WIM_DATA) OnCaptured();
  }
  capture_.Stop();
  return 0;
}

void MicTest::OnCaptured() {
  if (!capture_.IsCurrentDone()) return;
  std::vector<int16_t> block(kBlockSamples);
  const std::span<const uint8_t> captured = capture_.CurrentBuffer();
  std::memcpy(block.data(), captured.data(),
              std::min(captured.size(), block.size() * sizeof(int16_t)));
  capture_.ReleaseBuffer();
  // Echo is decided before the callback sees the block, so that a switch
  // made on seeing block n applies from block n + 1 on. A full ring drops the
  // block: the echo is live or not at all.
  if (echo_.load() && playbackOpen_.load()) playback_.Write(std::span<const int16_t>(block));
  if (onBlock_) onBlock_(std::move(block));
}

uint32_t MicTest::PlayThread() {
  // A sound of the program's own may still hold the speakers.
  PlaySound(nullptr, 0);
  PeekMessage();
  if (playback_.Open(CurrentThreadId()) != 0) {
    playbackOpen_.store(true);
  } else {
    NoteError(OpenFailure("The speakers", playback_.LastOpenError(), playback_.OpenResult()));
  }
  NamedThread::Current()->ReleaseStartSemaphore();
  for (;;) {
    const ThreadMessage msg = GetMessage();
    if (msg.message == kMsgTestThreadQuit) break;
    if (msg.message == MM_WOM_DONE) playback_.BufferDone();
  }
  playback_.Stop();
  return 0;
}

}  // namespace dialvo
