#pragma once
// The volume controls a call needs, on the desktop's sound server
// (PulseAudio, or PipeWire through its PulseAudio interface): the output as a
// whole (the default sink), our own playback (the program's streams on it)
// and the microphone (the default source). Levels are kept in a cache that
// the server's change notifications refresh, so reading never waits on the
// server and changes made in other programs (pactl, pavucontrol) show up.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace dialvo {

enum class MixerLine { kMaster, kSpeaker, kMicrophone };

// Levels run from 0 to 65535. PulseAudio's 0..PA_VOLUME_NORM (100 %) maps
// onto that range linearly; volumes at or above 100 % read as 65535, never
// wrapped. Both directions round, so a level survives the trip to the server
// and back unchanged.
inline constexpr uint32_t kMaxMixerLevel = 65535;
uint32_t LevelFromPulse(uint32_t paVolume);
uint32_t PulseFromLevel(uint32_t level);

// Slider positions run 0..255 with 0 the loudest: position p is level
// (255 - p) * 256, and a level shows at 255 - min(level / 256, 255), so a
// level above the top step stays at the top. A Qt slider (up = louder) shows
// 255 - position. Positions outside 0..255 are held at the nearer end.
uint32_t LevelFromPosition(int position);
int PositionFromLevel(uint32_t level);

struct MixerOptions {
  std::string server;                // empty: the default server (PULSE_SERVER etc.)
  uint32_t connectTimeoutMs = 3000;  // bounds Open and ApplyAutomaticSettings
  uint32_t ownProcessId = 0;         // whose playback streams are "ours"; 0: getpid()
};

class Mixer {
 public:
  // Connects and reads the three lines; nullptr with *error when there is no
  // server or it does not answer within the timeout. Blocks up to the timeout,
  // so callers run it off their GUI thread.
  static std::unique_ptr<Mixer> Open(const MixerOptions& options, std::string* error);
  // Not from the change callback.
  ~Mixer();
  Mixer(const Mixer&) = delete;
  Mixer& operator=(const Mixer&) = delete;

  // Master: a default sink exists; microphone: a default source exists. The
  // speaker line is always available: before one of our streams exists it
  // holds the level to give the first one.
  bool Available(MixerLine line) const;
  // From the cache; nullopt while the line is not available. A line's level
  // is the loudest of its channels.
  std::optional<uint32_t> Level(MixerLine line) const;
  // Sets every channel (and every stream of ours) alike, levels above
  // kMaxMixerLevel held there. Returns at once; the cache holds the new level
  // straight away. Does nothing on a line that is not available.
  void SetLevel(MixerLine line, uint32_t level);

  // Called on the mixer's own thread after any change of a line's level, made
  // here or in another program, and when the default sink or source changes
  // (with level 0 when the line is no longer available). It is not called
  // under the mixer's cache lock: it may call Available, Level, SetLevel and
  // RaiseQuietMicrophone, but not ApplyAutomaticSettings or the destructor.
  void SetChangeCallback(std::function<void(MixerLine line, uint32_t level)> callback);

  struct AutoReport {
    bool sourceSwitched = false;    // the default source was a monitor and is now `source`
    bool sourceUnmuted = false;     // `source` was muted
    bool streamsUnmuted = false;    // one of our playback streams was muted
    bool microphoneRaised = false;  // `source` was below 32 * 256 and is now 128 * 256
    std::string source;             // the input acted on; empty when there is none
  };
  // Readies the user's setup for a call and changes nothing else: the default
  // source must be a real input, not the monitor of a sink, so a monitor
  // default gives way to the first real input (when there is none, no source
  // is touched at all); that input is unmuted and raised to 128 * 256 when
  // below 32 * 256; our own playback streams are unmuted. Blocks until the
  // server has done it, bounded by the timeout; from the change callback it
  // does nothing.
  AutoReport ApplyAutomaticSettings();

  // Raises a microphone below `below` * 256 to 128 * 256 (a call starting
  // uses 16). True when it was raised.
  bool RaiseQuietMicrophone(uint32_t below);

 private:
  class Impl;
  explicit Mixer(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
};

}  // namespace dialvo
