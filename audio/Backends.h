#pragma once
// The backends behind CreateSoundBackend.
#include <memory>
#include <string>

#include "audio/SoundBackend.h"

namespace dialvo {

std::shared_ptr<SoundBackend> MakeNullBackend(Clock& clock);
// Null with *error set when the play file is unusable.
std::shared_ptr<SoundBackend> MakeFileBackend(const SoundBackendOptions& options, Clock& clock,
                                              std::string* error);
std::shared_ptr<SoundBackend> MakePulseBackend(const SoundBackendOptions& options, Clock& clock);

}  // namespace dialvo
