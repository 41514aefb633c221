// dialvo-cli: the headless client.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "audio/SoundBackend.h"
#include "cli/ConfigCommand.h"
#include "cli/Options.h"
#include "cli/Runner.h"

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnSignal(int /*signal*/) { stopRequested.store(true); }

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
      std::puts("dialvo-cli 0.1.0");
      return 0;
    case ParseResult::kError:
      std::fprintf(stderr, "dialvo-cli: %s (see --help)\n", parsed.error.c_str());
      return 2;
    case ParseResult::kRun:
      break;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A peer vanishing must not kill the client through a broken pipe.
  signal(SIGPIPE, SIG_IGN);

  std::string error;
  std::shared_ptr<dialvo::SoundBackend> sound =
      dialvo::CreateSoundBackend(SoundOptionsFor(parsed.options), &error);
  if (sound == nullptr) {
    std::fprintf(stderr, "dialvo-cli: %s\n", error.empty() ? "no sound backend" : error.c_str());
    return 2;
  }
  // The program's own sounds use it as well.
  dialvo::SetDefaultSoundBackend(sound);

  CliRunner runner(parsed.options, stdout, sound);
  return runner.Run(stopRequested);
}
