#pragma once
// WAV files through libsndfile: reading any WAV as 16-bit samples, and
// writing 16-bit WAVs whose header is brought up to date after every write,
// so that a file left by a killed process is still complete and playable.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct sf_private_tag;

namespace dialvo {

struct WavInfo {
  bool isWav = false;
  uint32_t sampleRate = 0;
  uint32_t channels = 0;
  uint32_t bitsPerSample = 0;  // 0 when the samples are not integer PCM
  std::string encoding;        // "16-bit PCM", "32-bit float", ...
  uint64_t frames = 0;

  // "22050 Hz, 2 channels, 16-bit PCM"
  std::string Describe() const;
};

class WavReader {
 public:
  WavReader() = default;
  ~WavReader();
  WavReader(const WavReader&) = delete;
  WavReader& operator=(const WavReader&) = delete;

  // Opens any WAV file; false with *error naming the file and the problem.
  bool Open(const std::string& path, std::string* error);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  const WavInfo& Info() const { return info_; }
  // Reads up to out.size() / channels frames of interleaved 16-bit samples,
  // converted from whatever the file holds; returns the frames read, 0 at
  // the end.
  size_t ReadFrames(std::span<int16_t> out);
  bool Rewind();

 private:
  sf_private_tag* file_ = nullptr;
  WavInfo info_;
};

class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // A 16-bit PCM WAV. append: continue an existing file of the same format
  // (created when missing); otherwise the file is created or truncated.
  bool Open(const std::string& path, uint32_t sampleRate, uint32_t channels, bool append,
            std::string* error);
  void Close();
  // Appends interleaved frames; the header counts them when this returns.
  bool WriteFrames(std::span<const int16_t> samples);

 private:
  sf_private_tag* file_ = nullptr;
  uint32_t channels_ = 1;
};

// The voice format every capture file must have.
inline constexpr uint32_t kVoiceWavRate = 8000;

// Empty when the file is an 8000 Hz mono 16-bit PCM WAV; otherwise a message
// naming the file, what is needed and what it is.
std::string CheckVoiceWav(const std::string& path);

// Reads a whole WAV file as interleaved 16-bit samples.
bool ReadWavFile(const std::string& path, std::vector<int16_t>& samples, WavInfo* info,
                 std::string* error);

}  // namespace dialvo
