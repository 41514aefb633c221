#pragma once
// The program's own sounds (ring tone, hang-up, clicks, buddy notes): a WAV
// file played asynchronously by name on a sound backend, looped if asked,
// and stopped again. One sound plays at a time per player; the process has
// one player, used through PlaySound.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "audio/SoundBackend.h"

namespace dialvo {

// Flags of Play and PlaySound. Sounds always play asynchronously.
inline constexpr uint32_t kSoundAsync = 0x0001;
inline constexpr uint32_t kSoundNoDefault = 0x0002;  // there is no default sound either way
inline constexpr uint32_t kSoundLoop = 0x0008;       // repeat until stopped
inline constexpr uint32_t kSoundNoStop = 0x0010;     // refuse while a sound plays

class SoundPlayer {
 public:
  // Without a backend, each Play uses the process default of that moment.
  explicit SoundPlayer(std::shared_ptr<SoundBackend> backend = nullptr);
  ~SoundPlayer();
  SoundPlayer(const SoundPlayer&) = delete;
  SoundPlayer& operator=(const SoundPlayer&) = delete;

  // Stops the sound playing (with kSoundNoStop: refuses if one plays) and
  // starts playing the WAV file name (see SoundFilePath). False when refused
  // or the file or the output cannot be opened (see LastError).
  bool Play(const std::string& name, uint32_t flags);
  // Returns once the sound has stopped.
  void Stop();
  bool IsPlaying() const;
  std::string LastError() const;

 private:
  struct Playing;
  static void Run(Playing* playing, size_t chunkFrames, bool loop);
  void StopLocked();

  const std::shared_ptr<SoundBackend> backend_;
  mutable std::mutex
      mutex_;  // guards playing_ and lastError_; taken by any thread that plays or stops
  std::unique_ptr<Playing> playing_;
  std::string lastError_;
};

// The process's sounds: plays name asynchronously; a null name stops the
// sound playing (and returns true).
bool PlaySound(const char* name, uint32_t flags);
bool IsSoundPlaying();

// Where sounds named without a '/' are looked up. Until set: the directory
// in DIALVO_SOUND_DIR, else the program's data folder "sounds" (beside the
// program, or where it was installed).
void SetSoundDirectory(const std::string& directory);
std::string SoundFilePath(const std::string& name);

}  // namespace dialvo
