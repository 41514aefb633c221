#pragma once
// One HTTP exchange as the service sees it, independent of the HTTP library.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace dialvo::server {

struct HttpRequest {
  std::string method;
  std::string path;                                        // percent-decoded, without the query
  std::vector<std::pair<std::string, std::string>> query;  // decoded, in order
  std::string host;                                        // the Host header
  std::string cookie;                                      // the Cookie header
  std::string origin;                                      // the Origin header
  std::string referer;                                     // the Referer header
  std::string body;
  bool bodyTooLarge = false;  // body cut at the cap; handlers refuse it
  bool overloaded = false;    // too many bodies in flight: body unread; handlers refuse it
  uint32_t sourceIp = 0;      // IPv4, host byte order; 0 for other families
  bool secure = false;        // arrived over TLS
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
  std::string logNote;  // what the request log says about it; never a password
  std::vector<std::pair<std::string, std::string>> headers;  // added to the usual ones
};

// Milliseconds since the Unix epoch; tests inject their own.
using WallClock = std::function<int64_t()>;
WallClock SystemWallClock();

// Wall time for what is stored or shown; steady time for every deadline kept
// in memory (rate limits, throttles, login expiry, page sessions), so that
// setting the system clock neither blocks sources nor ends logins. Tests may
// give one clock for both, which makes the conversions the identity.
struct Clocks {
  WallClock wall;
  WallClock steady;
  // The wall time that the steady time steadyMs corresponds to.
  int64_t WallOf(int64_t steadyMs) const { return wall() - (steady() - steadyMs); }
  // The steady time of a stored wall time; never later than now.
  int64_t SteadyOf(int64_t wallMs) const;
};
Clocks SystemClocks();

}  // namespace dialvo::server
