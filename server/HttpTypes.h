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

}  // namespace dialvo::server
