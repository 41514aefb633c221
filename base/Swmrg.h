#pragma once
// Single-writer/multiple-reader guard. Any number of readers, or one writer;
// the writer side is recursive, and a writer may also enter as a reader on
// its own thread. A waiting writer does not hold back new readers. A named
// guard is shared with every process of the user that uses the same name.
#include <cstdint>
#include <string>

#include "base/Wait.h"

namespace dialvo {

class SWMRG {
 public:
  SWMRG() = default;
  ~SWMRG() { Delete(); }
  SWMRG(const SWMRG&) = delete;
  SWMRG& operator=(const SWMRG&) = delete;

  // Creates the guard; unnamed when name is null. A name that makes any of
  // the guard's object names ("SWMRGMutexNoWriter", "SWMRGEventNoReaders" or
  // "SWMRGSemNumReaders" followed by the name) 100 characters or longer fails
  // and leaves nothing open.
  bool Initialize(const char* name = nullptr);
  void Delete();
  bool IsInitialized() const { return state_ != nullptr; }

  // kWaitObject0 when entered, kWaitTimeout when not within timeoutMs.
  uint32_t WaitToWrite(uint32_t timeoutMs = kInfinite);
  void DoneWriting();
  uint32_t WaitToRead(uint32_t timeoutMs = kInfinite);
  void DoneReading();

  static void Unlink(const char* name);

  struct State;

 private:
  State* state_ = nullptr;
  bool shared_ = false;
};

class ReadGuard {
 public:
  explicit ReadGuard(SWMRG& guard) : guard_(guard) { guard_.WaitToRead(kInfinite); }
  ~ReadGuard() { guard_.DoneReading(); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

 private:
  SWMRG& guard_;
};

class WriteGuard {
 public:
  explicit WriteGuard(SWMRG& guard) : guard_(guard) { guard_.WaitToWrite(kInfinite); }
  ~WriteGuard() { guard_.DoneWriting(); }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

 private:
  SWMRG& guard_;
};

}  // namespace dialvo
