#pragma once
// The program's sounds through the audio layer, played from a thread of
// their own: opening the sound output may take a while, and the window must
// not wait for it.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "app/CallController.h"

namespace dialvo {

class SystemSounds final : public CallSounds {
 public:
  SystemSounds();
  ~SystemSounds() override;
  SystemSounds(const SystemSounds&) = delete;
  SystemSounds& operator=(const SystemSounds&) = delete;

  void Play(const char* name, bool loop) override;
  void PlayUnlessPlaying(const char* name) override;
  void Stop() override;
  void Beep() override;

 private:
  struct Command {
    std::string name;  // empty: stop
    uint32_t flags = 0;
  };
  void Post(Command command);
  void Run();

  // Guards queue_ and quit_; taken by the GUI thread and the sound thread.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Command> queue_;
  bool quit_ = false;
  std::thread thread_;
};

}  // namespace dialvo
