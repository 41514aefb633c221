#include "audio/RecordFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace dialvo {

RecordFile::~RecordFile() { Close(); }

bool RecordFile::Open(const std::string& path, uint32_t recordSize, std::string* error) {
  Close();
  const auto fail = [&] {
    Close();
    if (error != nullptr) *error = kRecordingOpenFailedText;
    return false;
  };
  if (recordSize == 0) return fail();
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return fail();
  struct stat st {};
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return fail();
  path_ = path;
  size_ = static_cast<uint64_t>(st.st_size);
  recordSize_ = recordSize;
  Rewind();
  return true;
}

void RecordFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_.clear();
  size_ = 0;
  Rewind();
}

bool RecordFile::IsOpen() const { return fd_ >= 0; }

bool RecordFile::Playable() const {
  return IsOpen() && size_ >= recordSize_ && size_ % recordSize_ == 0;
}

std::string RecordFile::Problem() const {
  if (!IsOpen()) return kRecordingOpenFailedText;
  if (!Playable()) return kRecordingCorruptedText;
  return {};
}

uint64_t RecordFile::Position() const {
  std::lock_guard lock(mutex_);
  return position_;
}

void RecordFile::Rewind() {
  std::lock_guard lock(mutex_);
  position_ = 0;
}

bool RecordFile::Next() {
  std::lock_guard lock(mutex_);
  // "Inside the file" is position <= size - 1, as the last byte counts.
  if (size_ == 0 || position_ > size_ - 1) return false;
  position_ += recordSize_;
  return true;
}

bool RecordFile::Prev() {
  std::lock_guard lock(mutex_);
  if (position_ < recordSize_) return false;
  position_ -= recordSize_;
  return true;
}

bool RecordFile::Seek(uint64_t index) {
  std::lock_guard lock(mutex_);
  if (index >= size_ || (index + 1) * recordSize_ >= size_) return false;
  position_ = index * recordSize_;
  return true;
}

bool RecordFile::Read(std::span<uint8_t> out, uint64_t* offset) const {
  const uint64_t at = Position();
  if (offset != nullptr) *offset = at;
  return ReadOffset(at, out);
}

bool RecordFile::ReadAt(uint64_t index, std::span<uint8_t> out) const {
  if (index >= RecordCount()) return false;
  return ReadOffset(index * recordSize_, out);
}

bool RecordFile::ReadOffset(uint64_t offset, std::span<uint8_t> out) const {
  if (!IsOpen() || out.size() < recordSize_ || offset + recordSize_ > size_) return false;
  size_t done = 0;
  while (done < recordSize_) {
    const ssize_t got =
        ::pread(fd_, out.data() + done, recordSize_ - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    // 0: the file has been cut short since it was opened.
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace dialvo
