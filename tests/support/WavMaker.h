#pragma once
// Sound files for tests, made at test time with sox and espeak-ng.
#include <cstdint>
#include <string>

namespace dialvo::test {

struct ToneSpec {
  double hz = 440;
  double seconds = 1;
  double volume = 0.5;  // of full scale
  uint32_t rate = 8000;
  uint32_t channels = 1;
  uint32_t bits = 16;
  std::string encoding = "signed-integer";  // sox's -e: unsigned-integer, floating-point, ...
};

// A sine tone as a WAV file. False, with the tool's complaint in *error,
// when sox failed.
bool MakeToneWav(const std::string& path, const ToneSpec& spec, std::string* error);

// A two-second sine tone of one party in path (a test failure when sox
// fails); returns path.
std::string PartyTone(const std::string& path, double hz, double volume);

// The text spoken by espeak-ng, as an 8000 Hz mono 16-bit WAV (unless another
// rate is asked for). The same text always gives the same file.
bool MakeSpeechWav(const std::string& path, const std::string& text, std::string* error,
                   uint32_t rate = 8000);

}  // namespace dialvo::test
