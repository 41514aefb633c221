#pragma once
// Records a conversation: blocks of the two directions are paired and mixed
// into one mono block, compressed with GSM 06.10 and written to a private
// temporary file, which Save moves under its final name. The file (.dvrec)
// is a headerless run of 330-byte records, each one block in 10 bare frames.
#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace dialvo {

class GsmCodec;

class ConversationRecorder {
 public:
  static constexpr size_t kBlockSamples = 1600;  // 200 ms at 8000 Hz
  static constexpr size_t kRecordBytes = 330;    // 10 frames of 33 bytes
  // A new block pairs with one of this many newest pending entries at most.
  static constexpr size_t kPairingReach = 3;
  // More pending entries than this are written, all but the newest few,
  // which may still find a partner.
  static constexpr size_t kMaxPending = 50;
  static constexpr size_t kKeptPending = 4;

  // temporaryDirectory: where the file being recorded lives until Save
  // (created with mode 0700 when missing). The owner chooses it: a
  // directory of the user's own, never a shared one.
  explicit ConversationRecorder(std::filesystem::path temporaryDirectory);
  // Writes what is still pending and closes the temporary file, which stays
  // where it is when Save did not move it.
  ~ConversationRecorder();
  ConversationRecorder(const ConversationRecorder&) = delete;
  ConversationRecorder& operator=(const ConversationRecorder&) = delete;

  // One block of the conversation: sent by the local user (fromRemote
  // false) or played to him (true). A short block is padded with silence.
  // Ignored after Save, and after a write failed.
  void AddAudio(const int16_t* pcm, size_t samples, bool fromRemote);

  // Writes what is pending and stores the recording under finalPath, or,
  // when that name is taken, under the first free "stem-2.ext", "stem-3.ext",
  // ...; never overwrites a file. *savedAs (if given) is the name used.
  // False with *error naming the problem and the temporary file that keeps
  // the recording: nothing recorded, a write that failed, a target directory
  // that is missing or cannot be written. A Save that failed to place the
  // file may be tried again with another path; after one that worked, the
  // recorder takes no more blocks and further Saves fail.
  bool Save(const std::filesystem::path& finalPath, std::string* error,
            std::filesystem::path* savedAs = nullptr);

  // True once a block arrived (even when its file could not be made, so
  // that the owner reports the failure).
  bool HasRecording() const;
  // The temporary file; empty until the first block, or when it could not
  // be created.
  std::filesystem::path TemporaryPath() const;
  // Entries not yet written.
  size_t Pending() const;

 private:
  enum Kind : uint32_t { kRemote = 1, kLocal = 2, kMixed = 3 };
  struct Entry {
    Kind kind;
    std::array<int16_t, kBlockSamples> pcm;
  };

  bool OpenFileLocked();
  // Encodes and writes the oldest count pending entries, then drops them.
  void WriteOldestLocked(size_t count);
  void FailLocked(std::string what);
  void CloseLocked();

  const std::filesystem::path directory_;
  // Guards every member below. Taken by the engine's capture and playback
  // threads (AddAudio), by the owner's thread (Save, the accessors and the
  // destructor), for the whole operation including encoding and writing.
  mutable std::mutex mutex_;
  std::unique_ptr<GsmCodec> codec_;
  std::deque<std::unique_ptr<Entry>> pending_;
  std::filesystem::path temporary_;
  int fd_ = -1;
  uint64_t written_ = 0;  // bytes in the temporary file, always whole records
  bool hasRecording_ = false;
  bool closed_ = false;  // Save closed the file: no more blocks
  bool saved_ = false;   // and moved it into place
  std::string failure_;  // the first write or create failure; blocks are dropped after it
};

// The name a recording is saved under: "recording_Jun_22_03_14.05.09.dvrec"
// for 14:05:09 local time on 22 June 2003 (English month names whatever the
// locale).
std::string RecordingFileName(std::time_t when);

}  // namespace dialvo
