#pragma once
#include <atomic>
#include <cstdint>
#include <string>

namespace dialvo {

// An outgoing call as the application asks for it. The engine reads it during
// the whole dialogue and polls cancel, which the application may set from
// another thread.
struct CallRequest {
  std::string host;  // dotted address or host name
  uint32_t port = 1720;
  uint32_t confirmUser = 0;  // non-zero: ask the callee to check calleeName
  std::string calleeName;
  std::atomic<uint32_t> cancel{0};

  CallRequest() = default;
  // A copy starts with cancel 0.
  CallRequest(const CallRequest& other)
      : host(other.host),
        port(other.port),
        confirmUser(other.confirmUser),
        calleeName(other.calleeName) {}
  CallRequest& operator=(const CallRequest&) = delete;
};

}  // namespace dialvo
