#pragma once
// A readable file descriptor that wakes threads blocked in socket waits: Set
// makes it readable until Clear. Waits include it next to their sockets.
namespace dialvo {

class WakeEvent {
 public:
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  void Set();
  void Clear();
  bool IsSet() const;
  int Fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace dialvo
