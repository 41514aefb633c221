#pragma once
// The program's sounds through the audio layer, played from a thread of
// their own: opening the sound output may take a while, and the window must
// not wait for it.
#include <atomic>
#include <cstdint>
#include <string>

#include "app/CallController.h"
#include "app/SerialWorker.h"

namespace dialvo {

class SystemSounds final : public CallSounds {
 public:
  ~SystemSounds() override;

  void Play(const char* name, bool loop) override;
  void PlayUnlessPlaying(const char* name) override;
  void Stop() override;
  void Beep() override;

 private:
  void Post(std::string name, uint32_t flags);

  // A stop makes every sound asked for before it pointless: those carry an
  // older stop count and are skipped.
  std::atomic<uint64_t> stops_{0};
  SerialWorker worker_{"Sound Thread"};
};

}  // namespace dialvo
