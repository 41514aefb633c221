// Synthesises the program's own sounds (ring tone, hang-up, click, buddy
// chimes, beep) as WAV files, so that the repository holds no binary audio.
//
//   dialvo_make_sounds DIR           writes the six files into DIR
//   dialvo_make_sounds --check DIR   reads them back and checks each one
//
// Every sound starts and ends in silence through smooth fades (a hard edge
// is heard as a click) and peaks well below full scale.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "audio/WavFile.h"

namespace {

using dialvo::WavInfo;

// Any PCM format plays; 22050 Hz keeps the chimes' overtones.
constexpr uint32_t kRate = 22050;
constexpr double kPi = std::numbers::pi;

using Signal = std::vector<double>;

size_t Frames(double seconds) { return static_cast<size_t>(std::lround(seconds * kRate)); }

// 0 at x <= 0 rising smoothly to 1 at x >= 1.
double Rise(double x) { return x <= 0 ? 0 : x >= 1 ? 1 : 0.5 - 0.5 * std::cos(kPi * x); }

// Raised-cosine fade-in over `in` seconds and fade-out over `out` seconds.
double Fades(double t, double length, double in, double out) {
  return Rise(t / in) * Rise((length - t) / out);
}

// A tone whose frequency follows freq(t); the phase is accumulated, so
// frequency changes never jump.
Signal Tone(double seconds, const std::function<double(double)>& freq,
            const std::function<double(double phase)>& wave,
            const std::function<double(double)>& envelope) {
  Signal out(Frames(seconds));
  double phase = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    out[i] = wave(phase) * envelope(t);
    phase = std::fmod(phase + 2 * kPi * freq(t) / kRate, 2 * kPi);
  }
  return out;
}

// Adds `part` into `into` starting at `at` seconds.
void Mix(Signal& into, const Signal& part, double at) {
  const size_t start = Frames(at);
  if (into.size() < start + part.size()) into.resize(start + part.size());
  for (size_t i = 0; i < part.size(); ++i) into[start + i] += part[i];
}

// One struck bell note: partials that die away, the higher ones sooner.
Signal Chime(double freq, double seconds) {
  struct Partial {
    double ratio, level, decay;
  };
  constexpr Partial kPartials[] = {{1.0, 1.0, 0.18}, {2.0, 0.35, 0.09}, {3.0, 0.12, 0.05}};
  Signal out(Frames(seconds));
  for (size_t i = 0; i < out.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    double sum = 0;
    for (const Partial& p : kPartials) {
      sum += p.level * std::exp(-t / p.decay) * std::sin(2 * kPi * freq * p.ratio * t);
    }
    out[i] = sum * Fades(t, seconds, 0.003, 0.05);
  }
  return out;
}

// The ring: two bursts of a warbling two-tone trill, then a pause, so that
// played in a loop it rings like a telephone.
Signal PhoneRing() {
  constexpr double kBurst = 0.4;
  constexpr double kHalfPeriod = 0.025;  // each tone sounds 25 ms
  const auto freq = [](double t) {
    // Glides of 5 ms between the two tones instead of jumps.
    constexpr double kGlide = 0.005;
    const double p = std::fmod(t, 2 * kHalfPeriod);
    const double high = p < kHalfPeriod ? Rise(p / kGlide) : 1 - Rise((p - kHalfPeriod) / kGlide);
    return 640.0 + 160.0 * high;
  };
  const auto wave = [](double phase) {
    return std::sin(phase) + 0.25 * std::sin(2 * phase) + 0.1 * std::sin(3 * phase);
  };
  const Signal burst =
      Tone(kBurst, freq, wave, [](double t) { return Fades(t, kBurst, 0.01, 0.025); });
  Signal ring(Frames(2.0), 0.0);
  Mix(ring, burst, 0.0);
  Mix(ring, burst, 0.6);
  return ring;
}

// A short tone gliding down an octave.
Signal HangUp() {
  constexpr double kLength = 0.35;
  return Tone(
      kLength, [](double t) { return 600.0 * std::pow(0.5, t / kLength); },
      [](double phase) { return std::sin(phase) + 0.2 * std::sin(2 * phase); },
      [](double t) { return Fades(t, kLength, 0.008, 0.12); });
}

// A tick: a high tone dying away within a few milliseconds.
Signal Click() {
  constexpr double kLength = 0.03;
  return Tone(
      kLength, [](double) { return 1800.0; }, [](double phase) { return std::sin(phase); },
      [](double t) { return std::exp(-t / 0.004) * Fades(t, kLength, 0.001, 0.005); });
}

// Two chime notes a fourth apart.
Signal TwoNotes(double first, double second) {
  Signal out(Frames(0.7), 0.0);
  Mix(out, Chime(first, 0.55), 0.0);
  Mix(out, Chime(second, 0.55), 0.13);
  return out;
}

Signal Beep() {
  constexpr double kLength = 0.1;
  return Tone(
      kLength, [](double) { return 700.0; }, [](double phase) { return std::sin(phase); },
      [](double t) { return Fades(t, kLength, 0.005, 0.005); });
}

constexpr double kG5 = 783.99;
constexpr double kC6 = 1046.50;

struct Sound {
  const char* name;
  std::function<Signal()> make;
  double peak;  // of full scale
  // What --check accepts for the file read back.
  double minSeconds, maxSeconds;
};

const std::vector<Sound>& Sounds() {
  static const std::vector<Sound> sounds = {
      {"phonering.wav", PhoneRing, 0.35, 1.5, 2.0},
      {"hangup.wav", HangUp, 0.3, 0.2, 0.6},
      {"click.wav", Click, 0.25, 0.005, 0.05},
      {"buddyin.wav", [] { return TwoNotes(kG5, kC6); }, 0.3, 0.3, 1.0},
      {"buddyout.wav", [] { return TwoNotes(kC6, kG5); }, 0.3, 0.3, 1.0},
      {"beep.wav", Beep, 0.3, 0.099, 0.101},
  };
  return sounds;
}

std::vector<int16_t> Quantise(const Signal& signal, double peak) {
  double loudest = 0;
  for (double s : signal) loudest = std::max(loudest, std::abs(s));
  const double scale = loudest > 0 ? peak * 32767.0 / loudest : 0;
  std::vector<int16_t> out(signal.size());
  for (size_t i = 0; i < signal.size(); ++i) {
    out[i] = static_cast<int16_t>(std::lround(signal[i] * scale));
  }
  return out;
}

int Write(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "dialvo_make_sounds: cannot create %s: %s\n", dir.c_str(),
                 std::strerror(errno));
    return 1;
  }
  for (const Sound& sound : Sounds()) {
    const std::string path = dir + "/" + sound.name;
    const std::vector<int16_t> samples = Quantise(sound.make(), sound.peak);
    dialvo::WavWriter writer;
    std::string error;
    if (!writer.Open(path, kRate, 1, false, &error) || !writer.WriteFrames(samples)) {
      std::fprintf(stderr, "dialvo_make_sounds: %s\n",
                   error.empty() ? ("cannot write " + path).c_str() : error.c_str());
      return 1;
    }
    writer.Close();
  }
  return 0;
}

// The problem with one file as read back, or empty.
std::string Check(const std::string& path, const Sound& sound) {
  std::vector<int16_t> samples;
  WavInfo info;
  std::string error;
  if (!dialvo::ReadWavFile(path, samples, &info, &error)) return error;
  if (info.sampleRate != kRate || info.channels != 1 || info.bitsPerSample != 16) {
    return "is " + info.Describe();
  }
  const double seconds = static_cast<double>(samples.size()) / kRate;
  if (seconds < sound.minSeconds || seconds > sound.maxSeconds) {
    return "lasts " + std::to_string(seconds) + " s";
  }
  // Ends within 1% of silence: no click when it starts, stops or loops.
  constexpr int kQuiet = 328;
  if (std::abs(samples.front()) > kQuiet || std::abs(samples.back()) > kQuiet) {
    return "does not start and end in silence";
  }
  int peak = 0;
  for (int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
  // Between -20 and -3 dB of full scale.
  if (peak < 3277 || peak > 23197) return "peaks at " + std::to_string(peak);
  return {};
}

int CheckAll(const std::string& dir) {
  int failures = 0;
  for (const Sound& sound : Sounds()) {
    const std::string path = dir + "/" + sound.name;
    if (const std::string problem = Check(path, sound); !problem.empty()) {
      std::fprintf(stderr, "%s: %s\n", path.c_str(), problem.c_str());
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && argv[1][0] != '-') return Write(argv[1]);
  if (argc == 3 && std::strcmp(argv[1], "--check") == 0) return CheckAll(argv[2]);
  std::fprintf(stderr, "usage: dialvo_make_sounds [--check] DIR\n");
  return 2;
}
