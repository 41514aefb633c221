#include "tests/support/WavMaker.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/ScratchDir.h"

namespace dialvo::test {

namespace {

bool Run(const std::vector<std::string>& argv, const std::string& log, std::string* error) {
  if (RunProgram(argv, {}, log) == 0) return true;
  if (error != nullptr) {
    *error = argv[0] + " failed: " + ReadFile(log);
  }
  return false;
}

}  // namespace

bool MakeToneWav(const std::string& path, const ToneSpec& spec, std::string* error) {
  // -R: repeatable output; -D: no dither, so the samples are exact sines.
  return Run({"sox", "-R", "-D", "-n", "-r", std::to_string(spec.rate), "-c",
              std::to_string(spec.channels), "-b", std::to_string(spec.bits), "-e", spec.encoding,
              path, "synth", std::to_string(spec.seconds), "sine", std::to_string(spec.hz), "vol",
              std::to_string(spec.volume)},
             path + ".log", error);
}

bool MakeSpeechWav(const std::string& path, const std::string& text, std::string* error,
                   uint32_t rate) {
  const std::string raw = path + ".espeak.wav";
  return Run({"espeak-ng", "-w", raw, text}, path + ".log", error) &&
         Run({"sox", "-R", "-D", raw, "-r", std::to_string(rate), "-c", "1", "-b", "16", "-e",
              "signed-integer", path},
             path + ".log", error);
}

std::string PartyTone(const std::string& path, double hz, double volume) {
  ToneSpec spec;
  spec.hz = hz;
  spec.seconds = 2;
  spec.volume = volume;
  std::string error;
  EXPECT_TRUE(MakeToneWav(path, spec, &error)) << error;
  return path;
}

}  // namespace dialvo::test
