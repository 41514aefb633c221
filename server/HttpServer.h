#pragma once
// The HTTP front end: libmicrohttpd with a pool of epoll threads. It collects
// a request (body capped), hands it to the handler, sends the answer and
// writes one log line per request.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "base/UdpSocket.h"
#include "server/HttpTypes.h"

struct MHD_Daemon;

namespace dialvo::server {

struct HttpServerOptions {
  SockAddr listen = SockAddr::Loopback(8720);
  unsigned threads = 0;         // 0: two per core, at least four
  size_t bodyCap = 128 * 1024;  // larger bodies reach the handler as bodyTooLarge
  // Bodies being received, all connections together; a request whose
  // declared length does not fit reaches the handler as overloaded, unread.
  size_t bodyBudget = size_t{24} * 1024 * 1024;
  unsigned connectionTimeoutS = 10;  // idle connections are closed
  // A request must arrive whole within this time of its connection opening
  // or its previous answer, however slowly it trickles in.
  int64_t requestDeadlineMs = 15000;
  int64_t deadlineCheckMs = 1000;  // how often the deadline is checked
  // Kept below the file-descriptor limit, which Start raises where allowed.
  unsigned connectionLimit = 4096;
  unsigned perSourceConnectionLimit = 16;
  // Requests arriving from this IPv4 address (0: none) are taken to come
  // from the last address in their X-Forwarded-For header.
  uint32_t trustedProxy = 0;
  // PEM texts; both given: HTTPS only on this address.
  std::string tlsCertPem;
  std::string tlsKeyPem;
};

using RequestHandler = std::function<HttpResponse(const HttpRequest&)>;
// Called exactly once with the answer, from any thread, now or later.
using Responder = std::function<void(HttpResponse)>;
// A handler that may answer later: the connection waits without holding an
// HTTP thread.
using AsyncRequestHandler = std::function<void(const HttpRequest&, Responder)>;
using LogSink = std::function<void(std::string_view line)>;

// The client's address from an X-Forwarded-For header: its last entry, the
// one the trusted proxy added; 0 when that is no IPv4 address.
uint32_t ForwardedFor(std::string_view header);

// One request log line (no trailing newline); every field is made printable.
std::string FormatRequestLog(int64_t wallMs, std::string_view source, std::string_view method,
                             std::string_view path, int status, int64_t micros,
                             std::string_view note);

class HttpServer {
 public:
  // nullptr, with the reason in error, when the address cannot be served.
  static std::unique_ptr<HttpServer> Start(const HttpServerOptions& options, RequestHandler handler,
                                           LogSink log, std::string& error);
  static std::unique_ptr<HttpServer> Start(const HttpServerOptions& options,
                                           AsyncRequestHandler handler, LogSink log,
                                           std::string& error);
  ~HttpServer();  // stops serving; waits for answers still owed and the threads
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // The address actually bound (the port when 0 was asked for).
  SockAddr Address() const { return bound_; }
  // Connections served at once, after the file-descriptor limit.
  unsigned ConnectionLimit() const { return connectionLimit_; }

 private:
  friend struct HttpServerCallbacks;  // libmicrohttpd's callbacks
  HttpServer(AsyncRequestHandler handler, LogSink log, const HttpServerOptions& options)
      : handler_(std::move(handler)),
        log_(std::move(log)),
        bodyCap_(options.bodyCap),
        bodyBudget_(options.bodyBudget),
        deadlineMs_(options.requestDeadlineMs),
        checkMs_(options.deadlineCheckMs),
        trustedProxy_(options.trustedProxy),
        secure_(!options.tlsCertPem.empty()) {}
  void Watch();  // the deadline thread

  const AsyncRequestHandler handler_;
  const LogSink log_;
  const size_t bodyCap_;
  const size_t bodyBudget_;
  const int64_t deadlineMs_;
  const int64_t checkMs_;
  const uint32_t trustedProxy_;
  const bool secure_;
  std::atomic<size_t> bodyBytes_{0};  // reserved by requests being received
  SockAddr bound_;
  unsigned connectionLimit_ = 0;
  MHD_Daemon* daemon_ = nullptr;
  // Guards waiting_; taken by HTTP threads and whoever answers late.
  std::mutex waitingMutex_;
  std::condition_variable waitingDone_;
  size_t waiting_ = 0;  // suspended connections still owed an answer
  // Guards open_ and stopping_; taken by HTTP threads and the deadline thread.
  std::mutex openMutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
  struct Open {
    int fd = -1;
    std::chrono::steady_clock::time_point since;  // opened, or last answered
  };
  std::unordered_map<const void*, Open> open_;  // by connection
  std::thread watcher_;
  std::string tlsCert_;
  std::string tlsKey_;
};

}  // namespace dialvo::server
