#include "audio/SoundBackend.h"

#include <errno.h>

#include <mutex>

#include "audio/Backends.h"

namespace dialvo {

std::optional<SoundBackendKind> ParseSoundBackendKind(std::string_view text) {
  if (text == "pulse") return SoundBackendKind::kPulse;
  if (text == "file") return SoundBackendKind::kFile;
  if (text == "null") return SoundBackendKind::kNull;
  return std::nullopt;
}

std::shared_ptr<SoundBackend> CreateSoundBackend(const SoundBackendOptions& options,
                                                 std::string* error) {
  Clock& clock = options.clock != nullptr ? *options.clock : SystemClock();
  switch (options.kind) {
    case SoundBackendKind::kPulse:
      return MakePulseBackend(options, clock);
    case SoundBackendKind::kFile:
      return MakeFileBackend(options, clock, error);
    case SoundBackendKind::kNull:
      return MakeNullBackend(clock);
  }
  return nullptr;
}

namespace {

std::mutex defaultMutex;  // guards defaultBackend; taken by every thread that opens a device
std::shared_ptr<SoundBackend> defaultBackend;

}  // namespace

void SetDefaultSoundBackend(std::shared_ptr<SoundBackend> backend) {
  std::lock_guard lock(defaultMutex);
  defaultBackend = std::move(backend);
}

std::shared_ptr<SoundBackend> DefaultSoundBackend() {
  std::lock_guard lock(defaultMutex);
  if (!defaultBackend) defaultBackend = CreateSoundBackend(SoundBackendOptions{}, nullptr);
  return defaultBackend;
}

std::string ProgramName() {
  const char* name = program_invocation_short_name;
  return name != nullptr && *name != '\0' ? name : "dialvo";
}

}  // namespace dialvo
