#include "engine/WakeEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace dialvo {

WakeEvent::WakeEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeEvent::~WakeEvent() {
  if (fd_ >= 0) close(fd_);
}

void WakeEvent::Set() {
  const uint64_t one = 1;
  if (fd_ >= 0) (void)!write(fd_, &one, sizeof one);
}

void WakeEvent::Clear() {
  uint64_t count = 0;
  if (fd_ >= 0) (void)!read(fd_, &count, sizeof count);
}

bool WakeEvent::IsSet() const {
  pollfd pfd{fd_, POLLIN, 0};
  return fd_ >= 0 && poll(&pfd, 1, 0) == 1;
}

}  // namespace dialvo
