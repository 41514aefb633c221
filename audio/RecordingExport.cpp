#include "audio/RecordingExport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio/GsmCodec.h"
#include "audio/RecordFile.h"
#include "audio/RecordingPlayer.h"
#include "audio/WavFile.h"

namespace dialvo {

namespace {

constexpr uint64_t kWavHeaderBytes = 44;

// Creates a fresh, empty file beside path; its name, or empty with *error.
std::string CreateTemporaryBeside(const std::string& path, std::string* error) {
  static std::atomic<uint32_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name =
        path + ".part-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return name;
    }
    if (errno != EEXIST) {
      *error = name + ": " + std::strerror(errno);
      return {};
    }
  }
  *error = path + ": no free temporary name beside it";
  return {};
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

bool ExportRecordingToWav(const std::string& in, const std::string& out, std::string* error,
                          uint64_t* samplesWritten) {
  std::string problem;
  const auto fail = [&](std::string text) {
    if (error != nullptr) *error = std::move(text);
    return false;
  };
  RecordFile file;
  if (!file.Open(in, RecordFile::kRecordBytes, &problem)) return fail(problem);
  problem = file.Problem();
  if (!problem.empty()) return fail(problem);
  // Renaming the WAV over the recording would lose the recording.
  if (SameFile(in, out)) return fail(out + ": is the recording itself");
  const std::unique_ptr<GsmCodec> codec = CreateCodec();
  if (!codec) return fail("no GSM codec");

  const std::string temporary = CreateTemporaryBeside(out, &problem);
  if (temporary.empty()) return fail(problem);
  const auto discard = [&](std::string text) {
    std::remove(temporary.c_str());
    return fail(std::move(text));
  };
  WavWriter writer;
  if (!writer.Open(temporary, RecordingPlayer::kSampleRate, 1, false, &problem)) {
    return discard(problem);
  }
  std::vector<uint8_t> record(file.RecordSize());
  std::vector<int16_t> pcm(RecordingPlayer::kBlockSamples);
  const uint64_t records = file.RecordCount();
  for (uint64_t i = 0; i < records; ++i) {
    if (!file.ReadAt(i, record)) {
      return discard(in + ": record " + std::to_string(i) + " cannot be read (cut short?)");
    }
    uint32_t count = static_cast<uint32_t>(record.size());
    codec->Decode(record, pcm, count);
    if (!writer.WriteFrames(std::span<const int16_t>(pcm.data(), count))) {
      return discard(out + ": cannot be written (disk full?)");
    }
  }
  writer.Close();
  // The writer does not report a failed close: check what reached the file.
  const uint64_t samples = records * RecordingPlayer::kBlockSamples;
  struct stat st {};
  if (::stat(temporary.c_str(), &st) != 0 ||
      static_cast<uint64_t>(st.st_size) < kWavHeaderBytes + samples * 2) {
    return discard(out + ": the WAV was not written completely (disk full?)");
  }
  if (std::rename(temporary.c_str(), out.c_str()) != 0) {
    return discard(out + ": " + std::strerror(errno));
  }
  if (samplesWritten != nullptr) *samplesWritten = samples;
  return true;
}

}  // namespace dialvo
