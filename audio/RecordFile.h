#pragma once
// A recording read as fixed-size records (330 bytes: one 200 ms block in ten
// GSM frames), with a current position. The file is opened read-only and
// read with pread, never mapped: a file cut short while open only ends the
// reading early. The size is taken once at Open.
//
// The position is a byte offset guarded by a mutex: the player's feeder
// thread reads and advances it while the owner's thread seeks.
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

namespace dialvo {

// The messages a user sees for a recording that cannot be played.
inline constexpr const char* kRecordingOpenFailedText = "Failed to open the file";
inline constexpr const char* kRecordingCorruptedText = "The file is corrupted.";

class RecordFile {
 public:
  static constexpr uint32_t kRecordBytes = 330;

  RecordFile() = default;
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Closes what was open, then opens path for reading. False, with
  // kRecordingOpenFailedText in *error, when it cannot be opened, is not a
  // regular file or is empty. The position starts at the first record.
  bool Open(const std::string& path, uint32_t recordSize, std::string* error);
  void Close();
  bool IsOpen() const;
  const std::string& Path() const { return path_; }
  uint64_t Size() const { return size_; }
  uint32_t RecordSize() const { return recordSize_; }
  uint64_t RecordCount() const { return recordSize_ == 0 ? 0 : size_ / recordSize_; }
  // At least one record and nothing but whole records.
  bool Playable() const;
  // Empty when playable, else the message to show.
  std::string Problem() const;

  // The byte offset of the current record; Size() once past the last one.
  uint64_t Position() const;
  void Rewind();
  // Moves one record on while the position is inside the file, so stepping
  // off the last record lands at the end and still succeeds; false at the end.
  bool Next();
  // Moves one record back; false at the first one.
  bool Prev();
  // Moves to record index when (index + 1) * size < file size: the last
  // record itself is never a target. False leaves the position.
  bool Seek(uint64_t index);

  // Reads the whole record at the position into out (RecordSize() bytes)
  // and tells which offset that was. False when no whole record is there:
  // at the end, or when the file has been cut short since Open, or on a
  // read error.
  bool Read(std::span<uint8_t> out, uint64_t* offset = nullptr) const;
  // Reads record index without touching the position.
  bool ReadAt(uint64_t index, std::span<uint8_t> out) const;

 private:
  bool ReadOffset(uint64_t offset, std::span<uint8_t> out) const;

  int fd_ = -1;
  std::string path_;
  uint64_t size_ = 0;
  uint32_t recordSize_ = kRecordBytes;
  mutable std::mutex mutex_;  // guards position_; taken by the feeder and the owner's seeks
  uint64_t position_ = 0;
};

}  // namespace dialvo
