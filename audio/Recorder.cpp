#include "audio/Recorder.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <system_error>
#include <vector>

#include "audio/GsmCodec.h"

namespace dialvo {

namespace fs = std::filesystem;

namespace {

constexpr const char kTemporarySuffix[] = ".dvrec.part";
// Names tried after the one asked for ("-2" to "-999") before Save gives up.
constexpr int kMaxSuffix = 999;

std::string ErrnoText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

// Writes all of data; 0, or the errno of the write that failed. *done counts
// the bytes written before it.
int WriteAll(int fd, std::span<const uint8_t> data, size_t* done) {
  *done = 0;
  while (*done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + *done, data.size() - *done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    *done += static_cast<size_t>(n);
  }
  return 0;
}

// The directory with mode 0700 when it has to be made (its parents as
// usual); 0 or an errno.
int MakePrivateDirectory(const fs::path& dir) {
  if (::mkdir(dir.c_str(), 0700) == 0) return 0;
  int error = errno;
  if (error == ENOENT && dir.has_parent_path()) {
    std::error_code ec;
    fs::create_directories(dir.parent_path(), ec);
    if (ec) return ec.value();
    if (::mkdir(dir.c_str(), 0700) == 0) return 0;
    error = errno;
  }
  if (error == EEXIST) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return ENOTDIR;
  }
  return error;
}

// Makes the new name durable along with the file.
void SyncDirectory(const fs::path& dir) {
  const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Copies from to a new file to (never an existing one), for a target on
// another filesystem. 0, EEXIST when the name is taken, or another errno
// (the half-made copy is removed).
int CopyExclusive(const fs::path& from, const fs::path& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    const int error = errno;
    ::close(in);
    return error;
  }
  int error = 0;
  std::vector<uint8_t> buffer(size_t{64} * 1024);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    size_t done = 0;
    error = WriteAll(out, std::span(buffer.data(), static_cast<size_t>(n)), &done);
    if (error != 0) break;
  }
  if (error == 0 && ::fsync(out) != 0) error = errno;
  if (::close(out) != 0 && error == 0) error = errno;
  ::close(in);
  if (error != 0) ::unlink(to.c_str());
  return error;
}

// finalPath, or its stem with "-n" before the extension.
fs::path Candidate(const fs::path& finalPath, int n) {
  if (n == 1) return finalPath;
  fs::path name = finalPath.stem();
  name += '-';
  name += std::to_string(n);
  name += finalPath.extension();
  return finalPath.parent_path() / name;
}

}  // namespace

ConversationRecorder::ConversationRecorder(fs::path temporaryDirectory)
    : directory_(std::move(temporaryDirectory)), codec_(CreateCodec()) {}

ConversationRecorder::~ConversationRecorder() {
  std::lock_guard lock(mutex_);
  if (!closed_) {
    // What a crash would leave too, and the rest: whole records only.
    WriteOldestLocked(pending_.size());
    CloseLocked();
  }
}

void ConversationRecorder::AddAudio(const int16_t* pcm, size_t samples, bool fromRemote) {
  std::lock_guard lock(mutex_);
  if (closed_) return;  // late blocks after Save
  hasRecording_ = true;
  if (!failure_.empty()) return;
  if (fd_ < 0 && !OpenFileLocked()) return;

  auto entry = std::make_unique<Entry>();
  entry->kind = fromRemote ? kRemote : kLocal;
  const size_t n = std::min(samples, kBlockSamples);
  std::copy_n(pcm, n, entry->pcm.begin());
  std::fill(entry->pcm.begin() + static_cast<ptrdiff_t>(n), entry->pcm.end(), int16_t{0});

  // The newest unpaired block of the other direction, not too far back,
  // becomes the mix of the two.
  const size_t reach = std::min(kPairingReach, pending_.size());
  for (size_t back = 1; back <= reach; ++back) {
    Entry& partner = *pending_[pending_.size() - back];
    if (partner.kind == kMixed || partner.kind == entry->kind) continue;
    for (size_t i = 0; i < kBlockSamples; ++i) {
      // Integer division truncates toward zero: -1 and -2 give -1.
      partner.pcm[i] = static_cast<int16_t>((int32_t{partner.pcm[i]} + entry->pcm[i]) / 2);
    }
    partner.kind = kMixed;
    return;
  }
  pending_.push_back(std::move(entry));
  if (pending_.size() > kMaxPending) WriteOldestLocked(pending_.size() - kKeptPending);
}

bool ConversationRecorder::OpenFileLocked() {
  if (codec_ == nullptr) {
    FailLocked("no GSM codec for the recording");
    return false;
  }
  if (const int error = MakePrivateDirectory(directory_); error != 0) {
    FailLocked("cannot make the directory " + directory_.string() + ": " + ErrnoText(error));
    return false;
  }
  // A name of our own making, taken exclusively: nothing a peer sends, and
  // no file that already exists, ends up being written.
  const std::string pattern = (directory_ / "call-XXXXXX").string() + kTemporarySuffix;
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  fd_ = ::mkostemps(name.data(), static_cast<int>(std::strlen(kTemporarySuffix)), O_CLOEXEC);
  if (fd_ < 0) {
    FailLocked("cannot create a recording file in " + directory_.string() + ": " +
               ErrnoText(errno));
    return false;
  }
  temporary_ = name.data();
  return true;
}

void ConversationRecorder::WriteOldestLocked(size_t count) {
  count = std::min(count, pending_.size());
  if (count == 0) return;
  std::vector<uint8_t> records;
  if (failure_.empty() && fd_ >= 0) {
    records.resize(count * kRecordBytes);
    for (size_t k = 0; k < count; ++k) {
      uint32_t bytes = kBlockSamples;
      codec_->Encode(pending_[k]->pcm, bytes,
                     std::span(records).subspan(k * kRecordBytes, kRecordBytes));
    }
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(count));
  if (records.empty()) return;
  // One write per batch, of whole records; each goes straight to the
  // kernel, so a program that dies later still leaves them in the file.
  size_t done = 0;
  if (const int error = WriteAll(fd_, records, &done); error != 0) {
    // Cut a partly written record off, so that the file stays playable.
    const uint64_t whole = written_ + done / kRecordBytes * kRecordBytes;
    written_ = ::ftruncate(fd_, static_cast<off_t>(whole)) == 0 ? whole : written_ + done;
    FailLocked("cannot write " + temporary_.string() + ": " + ErrnoText(error));
    return;
  }
  written_ += records.size();
}

void ConversationRecorder::FailLocked(std::string what) {
  if (failure_.empty()) failure_ = std::move(what);
  // Blocks are dropped from now on: a file with a hole in it would play the
  // conversation wrongly.
  pending_.clear();
}

void ConversationRecorder::CloseLocked() {
  if (fd_ < 0) return;
  if (::fsync(fd_) != 0 && errno != EINVAL) {
    FailLocked("cannot write " + temporary_.string() + ": " + ErrnoText(errno));
  }
  if (::close(fd_) != 0 && errno != EINTR) {
    FailLocked("cannot close " + temporary_.string() + ": " + ErrnoText(errno));
  }
  fd_ = -1;
}

bool ConversationRecorder::Save(const fs::path& finalPath, std::string* error, fs::path* savedAs) {
  std::lock_guard lock(mutex_);
  const auto fail = [&](const std::string& why) {
    if (error != nullptr) {
      *error = why;
      if (!temporary_.empty()) *error += "; the recording is kept in " + temporary_.string();
    }
    return false;
  };
  if (saved_) {
    if (error != nullptr) *error = "the recording was saved already";
    return false;
  }
  if (!hasRecording_) {
    if (error != nullptr) *error = "nothing was recorded";
    return false;
  }
  if (!closed_) {
    WriteOldestLocked(pending_.size());
    CloseLocked();
    closed_ = true;
  }
  if (!failure_.empty()) return fail(failure_);
  if (temporary_.empty()) return fail("the recording has no file");
  fs::path placed;
  std::string why;
  for (int n = 1; n <= kMaxSuffix; ++n) {
    const fs::path candidate = Candidate(finalPath, n);
    int result = ::link(temporary_.c_str(), candidate.c_str()) == 0 ? 0 : errno;
    // Another filesystem, or one without hard links: a copy, just as
    // careful never to replace a file.
    if (result == EXDEV || result == EPERM || result == EOPNOTSUPP || result == EMLINK) {
      result = CopyExclusive(temporary_, candidate);
    }
    if (result == EEXIST) continue;
    if (result != 0)
      return fail("cannot store the recording as " + candidate.string() + ": " + ErrnoText(result));
    placed = candidate;
    break;
  }
  if (placed.empty()) {
    return fail("cannot store the recording in " + finalPath.parent_path().string() +
                ": every name like " + finalPath.filename().string() + " is taken");
  }
  SyncDirectory(placed.parent_path());
  // The recording is in place; a temporary name left behind would only be
  // a second name for it.
  ::unlink(temporary_.c_str());
  temporary_.clear();
  saved_ = true;
  if (savedAs != nullptr) *savedAs = placed;
  return true;
}

bool ConversationRecorder::HasRecording() const {
  std::lock_guard lock(mutex_);
  return hasRecording_;
}

fs::path ConversationRecorder::TemporaryPath() const {
  std::lock_guard lock(mutex_);
  return temporary_;
}

size_t ConversationRecorder::Pending() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

std::string RecordingFileName(std::time_t when) {
  static constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  localtime_r(&when, &local);
  char name[64];
  std::snprintf(name, sizeof name, "recording_%s_%02d_%02d_%02d.%02d.%02d.dvrec",
                kMonths[std::clamp(local.tm_mon, 0, 11)], local.tm_mday, local.tm_year % 100,
                local.tm_hour, local.tm_min, local.tm_sec);
  return name;
}

}  // namespace dialvo
