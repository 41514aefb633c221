#include "app/SystemSounds.h"

#include "audio/PlaySound.h"
#include "base/Trace.h"

namespace dialvo {

SystemSounds::SystemSounds() : thread_([this] { Run(); }) {}

SystemSounds::~SystemSounds() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_one();
  thread_.join();
  PlaySound(nullptr, 0);
}

void SystemSounds::Play(const char* name, bool loop) {
  Post({name, kSoundAsync | kSoundNoDefault | (loop ? kSoundLoop : 0)});
}

void SystemSounds::PlayUnlessPlaying(const char* name) {
  Post({name, kSoundAsync | kSoundNoDefault | kSoundNoStop});
}

void SystemSounds::Stop() { Post({}); }

void SystemSounds::Beep() { Post({"beep.wav", kSoundAsync | kSoundNoDefault}); }

void SystemSounds::Post(Command command) {
  {
    std::lock_guard lock(mutex_);
    // A stop makes every sound queued before it pointless.
    if (command.name.empty()) queue_.clear();
    queue_.push_back(std::move(command));
  }
  wake_.notify_one();
}

void SystemSounds::Run() {
  for (;;) {
    Command command;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return quit_ || !queue_.empty(); });
      if (quit_) return;
      command = std::move(queue_.front());
      queue_.pop_front();
    }
    if (command.name.empty()) {
      PlaySound(nullptr, 0);
    } else if (!PlaySound(command.name.c_str(), command.flags) &&
               (command.flags & kSoundNoStop) == 0) {
      TraceLog("Cannot play %s", command.name.c_str());
    }
  }
}

}  // namespace dialvo
