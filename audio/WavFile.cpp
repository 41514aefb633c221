#include "audio/WavFile.h"

#include <sndfile.h>

namespace dialvo {

namespace {

WavInfo InfoOf(const SF_INFO& sf) {
  WavInfo info;
  const int major = sf.format & SF_FORMAT_TYPEMASK;
  info.isWav = major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX;
  info.sampleRate = static_cast<uint32_t>(sf.samplerate);
  info.channels = static_cast<uint32_t>(sf.channels);
  info.frames = sf.frames > 0 ? static_cast<uint64_t>(sf.frames) : 0;
  switch (sf.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
      info.bitsPerSample = 8;
      break;
    case SF_FORMAT_PCM_16:
      info.bitsPerSample = 16;
      break;
    case SF_FORMAT_PCM_24:
      info.bitsPerSample = 24;
      break;
    case SF_FORMAT_PCM_32:
      info.bitsPerSample = 32;
      break;
    default:
      break;
  }
  if (info.bitsPerSample != 0) {
    info.encoding = std::to_string(info.bitsPerSample) + "-bit PCM";
  } else {
    SF_FORMAT_INFO fi{};
    fi.format = sf.format & SF_FORMAT_SUBMASK;
    const bool known = sf_command(nullptr, SFC_GET_FORMAT_INFO, &fi, sizeof fi) == 0;
    info.encoding = known && fi.name != nullptr ? fi.name : "an unknown encoding";
  }
  return info;
}

std::string OpenError(const std::string& path) {
  return "cannot open " + path + ": " + sf_strerror(nullptr);
}

}  // namespace

std::string WavInfo::Describe() const {
  return std::to_string(sampleRate) + " Hz, " + std::to_string(channels) +
         (channels == 1 ? " channel, " : " channels, ") + encoding;
}

WavReader::~WavReader() { Close(); }

bool WavReader::Open(const std::string& path, std::string* error) {
  Close();
  SF_INFO sf{};
  file_ = sf_open(path.c_str(), SFM_READ, &sf);
  if (file_ == nullptr) {
    if (error != nullptr) *error = OpenError(path);
    return false;
  }
  info_ = InfoOf(sf);
  if (!info_.isWav) {
    Close();
    if (error != nullptr) *error = path + ": not a WAV file";
    return false;
  }
  return true;
}

void WavReader::Close() {
  if (file_ != nullptr) sf_close(file_);
  file_ = nullptr;
}

size_t WavReader::ReadFrames(std::span<int16_t> out) {
  if (file_ == nullptr || info_.channels == 0) return 0;
  const auto frames = static_cast<sf_count_t>(out.size() / info_.channels);
  const sf_count_t got = sf_readf_short(file_, out.data(), frames);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

bool WavReader::Rewind() { return file_ != nullptr && sf_seek(file_, 0, SEEK_SET) == 0; }

WavWriter::~WavWriter() { Close(); }

bool WavWriter::Open(const std::string& path, uint32_t sampleRate, uint32_t channels, bool append,
                     std::string* error) {
  Close();
  SF_INFO sf{};
  sf.samplerate = static_cast<int>(sampleRate);
  sf.channels = static_cast<int>(channels);
  sf.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  if (append) {
    SF_INFO existing{};
    file_ = sf_open(path.c_str(), SFM_RDWR, &existing);
    if (file_ != nullptr) {
      const WavInfo info = InfoOf(existing);
      if (!info.isWav || info.sampleRate != sampleRate || info.channels != channels ||
          info.bitsPerSample != 16) {
        Close();
        if (error != nullptr) {
          *error = path + ": cannot append to a file of another format (" + info.Describe() + ")";
        }
        return false;
      }
      sf_seek(file_, 0, SEEK_END);
    }
  }
  if (file_ == nullptr) file_ = sf_open(path.c_str(), SFM_WRITE, &sf);
  if (file_ == nullptr) {
    if (error != nullptr) *error = OpenError(path);
    return false;
  }
  channels_ = channels;
  // libsndfile writes straight to the descriptor; with this it also rewrites
  // the header after each write.
  sf_command(file_, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
  return true;
}

void WavWriter::Close() {
  if (file_ != nullptr) sf_close(file_);
  file_ = nullptr;
}

bool WavWriter::WriteFrames(std::span<const int16_t> samples) {
  if (file_ == nullptr) return false;
  const auto frames = static_cast<sf_count_t>(samples.size() / channels_);
  return sf_writef_short(file_, samples.data(), frames) == frames;
}

std::string CheckVoiceWav(const std::string& path) {
  WavReader reader;
  std::string error;
  if (!reader.Open(path, &error)) return error;
  const WavInfo& info = reader.Info();
  if (info.sampleRate == kVoiceWavRate && info.channels == 1 && info.bitsPerSample == 16) return {};
  return path + ": need an 8000 Hz mono 16-bit PCM WAV file, but it is " + info.Describe();
}

bool ReadWavFile(const std::string& path, std::vector<int16_t>& samples, WavInfo* info,
                 std::string* error) {
  WavReader reader;
  if (!reader.Open(path, error)) return false;
  samples.clear();
  std::vector<int16_t> chunk(size_t{4096} * reader.Info().channels);
  while (const size_t frames = reader.ReadFrames(chunk)) {
    samples.insert(samples.end(), chunk.begin(),
                   chunk.begin() + static_cast<std::ptrdiff_t>(frames * reader.Info().channels));
  }
  if (info != nullptr) *info = reader.Info();
  return true;
}

}  // namespace dialvo
