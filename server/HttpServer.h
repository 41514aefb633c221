#pragma once
// The HTTP front end: libmicrohttpd with a pool of epoll threads. It collects
// a request (body capped), hands it to the handler, sends the answer and
// writes one log line per request.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/UdpSocket.h"
#include "server/HttpTypes.h"

struct MHD_Daemon;

namespace dialvo::server {

struct HttpServerOptions {
  SockAddr listen = SockAddr::Loopback(8720);
  unsigned threads = 0;              // 0: two per core, at least four
  size_t bodyCap = 128 * 1024;       // larger bodies reach the handler as bodyTooLarge
  unsigned connectionTimeoutS = 30;  // idle connections are closed
  unsigned connectionLimit = 4096;
  unsigned perSourceConnectionLimit = 128;
};

using RequestHandler = std::function<HttpResponse(const HttpRequest&)>;
using LogSink = std::function<void(std::string_view line)>;

// One request log line (no trailing newline); every field is made printable.
std::string FormatRequestLog(int64_t wallMs, std::string_view source, std::string_view method,
                             std::string_view path, int status, int64_t micros,
                             std::string_view note);

class HttpServer {
 public:
  // nullptr, with the reason in error, when the address cannot be served.
  static std::unique_ptr<HttpServer> Start(const HttpServerOptions& options, RequestHandler handler,
                                           LogSink log, std::string& error);
  ~HttpServer();  // stops serving; waits for the threads
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // The address actually bound (the port when 0 was asked for).
  SockAddr Address() const { return bound_; }

 private:
  friend struct HttpServerCallbacks;  // libmicrohttpd's callbacks
  HttpServer(RequestHandler handler, LogSink log, size_t bodyCap)
      : handler_(std::move(handler)), log_(std::move(log)), bodyCap_(bodyCap) {}

  const RequestHandler handler_;
  const LogSink log_;
  const size_t bodyCap_;
  SockAddr bound_;
  MHD_Daemon* daemon_ = nullptr;
};

}  // namespace dialvo::server
