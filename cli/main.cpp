// dialvo-cli: the headless client.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "audio/PlaySound.h"
#include "audio/RecordingExport.h"
#include "audio/RecordingPlayer.h"
#include "audio/SoundBackend.h"
#include "base/Version.h"
#include "cli/ConfigCommand.h"
#include "cli/ConnectivityCommand.h"
#include "cli/EventLine.h"
#include "cli/Options.h"
#include "cli/Runner.h"

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnSignal(int /*signal*/) { stopRequested.store(true); }

// --export-recording: 0, or 1 with one line naming the problem.
int ExportRecording(const dialvo::cli::CliOptions& options) {
  std::string error;
  if (dialvo::ExportRecordingToWav(options.exportRecording, options.exportWav, &error)) return 0;
  std::fprintf(stderr, "dialvo-cli: %s: %s\n", options.exportRecording.c_str(), error.c_str());
  return 1;
}

// --play-sound: one of the program's sounds, found where the program finds
// them, played to its end.
int PlayProgramSound(const std::string& name, std::shared_ptr<dialvo::SoundBackend> sound) {
  dialvo::SoundPlayer player(std::move(sound));
  const std::string file = name.ends_with(".wav") ? name : name + ".wav";
  if (!player.Play(file, dialvo::kSoundAsync)) {
    std::fprintf(stderr, "dialvo-cli: %s: %s\n", dialvo::SoundFilePath(file).c_str(),
                 player.LastError().c_str());
    return 1;
  }
  while (player.IsPlaying() && !stopRequested.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  player.Stop();
  std::printf("PLAYED %s\n", dialvo::SoundFilePath(file).c_str());
  return 0;
}

// --play-recording: plays the file to its end (or until SIGINT/SIGTERM),
// with lines in the client's usual form.
int PlayRecording(const dialvo::cli::CliOptions& options,
                  std::shared_ptr<dialvo::SoundBackend> sound) {
  using dialvo::cli::FormatLine;
  const auto started = std::chrono::steady_clock::now();
  std::mutex mutex;  // guards the output and the flags below; taken by the player's threads
  std::condition_variable changed;
  bool finished = false;
  std::string deviceError;
  const auto print = [&](std::string_view word, const dialvo::cli::Fields& fields) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    std::lock_guard lock(mutex);
    std::printf("%s\n", FormatLine(static_cast<uint64_t>(ms.count()), word, fields).c_str());
    std::fflush(stdout);
  };
  dialvo::RecordingPlayerCallbacks callbacks;
  callbacks.progress = [&](int percent) {
    print("PROGRESS", {{"percent", std::to_string(percent)}});
  };
  callbacks.finished = [&] {
    std::lock_guard lock(mutex);
    finished = true;
    changed.notify_all();
  };
  callbacks.deviceFailed = [&](const std::string& error) {
    std::lock_guard lock(mutex);
    deviceError = error.empty() ? "unknown error" : error;
    changed.notify_all();
  };
  dialvo::RecordingPlayer player(std::move(sound), callbacks);
  std::string error;
  if (!player.Load(options.playRecording, &error)) {
    std::fprintf(stderr, "dialvo-cli: %s: %s\n", options.playRecording.c_str(), error.c_str());
    return 1;
  }
  print("PLAYING", {{"records", std::to_string(player.RecordCount())}});
  if (!player.Play()) {
    std::fprintf(stderr, "dialvo-cli: %s: cannot be played\n", options.playRecording.c_str());
    return 1;
  }
  std::unique_lock lock(mutex);
  while (!finished && deviceError.empty() && !stopRequested.load()) {
    changed.wait_for(lock, std::chrono::milliseconds(50));
  }
  const bool done = finished;
  const std::string failure = deviceError;
  lock.unlock();
  if (!failure.empty()) {
    std::fprintf(stderr, "dialvo-cli: the playback device cannot be opened: %s\n", failure.c_str());
    return 1;
  }
  player.Stop();
  print(done ? "PLAYED" : "STOPPED", {});
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace dialvo::cli;
  const std::span<const char* const> args(argv + 1, static_cast<size_t>(argc - 1));
  if (IsConfigCommand(args)) return RunConfigCommand(args, stdin, stdout, stderr);
  const ParseResult parsed = ParseOptions(args);
  switch (parsed.kind) {
    case ParseResult::kHelp:
      std::fputs(UsageText(), stdout);
      return 0;
    case ParseResult::kVersion:
      std::printf("dialvo-cli %s\n", dialvo::kDialvoVersion);
      return 0;
    case ParseResult::kError:
      std::fprintf(stderr, "dialvo-cli: %s (see --help)\n", parsed.error.c_str());
      return 2;
    case ParseResult::kRun:
      break;
  }
  if (!parsed.options.exportRecording.empty()) return ExportRecording(parsed.options);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A peer vanishing must not kill the client through a broken pipe.
  signal(SIGPIPE, SIG_IGN);
  if (parsed.options.connectivityTest) {
    return RunConnectivityCommand(parsed.options, stopRequested, stdout);
  }

  std::string error;
  std::shared_ptr<dialvo::SoundBackend> sound =
      dialvo::CreateSoundBackend(SoundOptionsFor(parsed.options), &error);
  if (sound == nullptr) {
    std::fprintf(stderr, "dialvo-cli: %s\n", error.empty() ? "no sound backend" : error.c_str());
    return 2;
  }
  // The program's own sounds use it as well.
  dialvo::SetDefaultSoundBackend(sound);
  if (!parsed.options.playRecording.empty()) return PlayRecording(parsed.options, sound);
  if (!parsed.options.playSound.empty()) return PlayProgramSound(parsed.options.playSound, sound);

  CliRunner runner(parsed.options, stdout, sound);
  return runner.Run(stopRequested);
}
