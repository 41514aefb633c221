#include "app/SystemSounds.h"

#include "audio/PlaySound.h"
#include "base/Trace.h"

namespace dialvo {

SystemSounds::~SystemSounds() {
  worker_.Stop();
  PlaySound(nullptr, 0);
}

void SystemSounds::Play(const char* name, bool loop) {
  Post(name, kSoundAsync | kSoundNoDefault | (loop ? kSoundLoop : 0));
}

void SystemSounds::PlayUnlessPlaying(const char* name) {
  Post(name, kSoundAsync | kSoundNoDefault | kSoundNoStop);
}

void SystemSounds::Beep() { Post("beep.wav", kSoundAsync | kSoundNoDefault); }

void SystemSounds::Stop() {
  ++stops_;
  worker_.Post([] { PlaySound(nullptr, 0); });
}

void SystemSounds::Post(std::string name, uint32_t flags) {
  const uint64_t asked = stops_.load();
  worker_.Post([this, name = std::move(name), flags, asked] {
    if (asked != stops_.load()) return;
    if (!PlaySound(name.c_str(), flags) && (flags & kSoundNoStop) == 0) {
      TraceLog("Cannot play %s", name.c_str());
    }
  });
}

}  // namespace dialvo
