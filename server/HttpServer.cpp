#include "server/HttpServer.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "server/Text.h"

namespace dialvo::server {

namespace {

constexpr size_t kMaxLoggedPath = 200;

int64_t WallMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

MHD_Result CollectArgument(void* cls, MHD_ValueKind /*kind*/, const char* key, const char* value) {
  auto* query = static_cast<std::vector<std::pair<std::string, std::string>>*>(cls);
  query->emplace_back(key != nullptr ? key : "", value != nullptr ? value : "");
  return MHD_YES;
}

void FreeBody(void* cls) { delete static_cast<std::string*>(cls); }

}  // namespace

std::string FormatRequestLog(int64_t wallMs, std::string_view source, std::string_view method,
                             std::string_view path, int status, int64_t micros,
                             std::string_view note) {
  const time_t seconds = static_cast<time_t>(wallMs / 1000);
  tm parts{};
  gmtime_r(&seconds, &parts);
  char stamp[40];
  const size_t used = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(stamp + used, sizeof stamp - used, ".%03dZ", static_cast<int>(wallMs % 1000));
  std::string line = stamp;
  line += ' ';
  line += EscapeForLog(source);
  line += ' ';
  line += EscapeForLog(method.substr(0, 16));
  line += ' ';
  line += EscapeForLog(path.substr(0, kMaxLoggedPath));
  if (path.size() > kMaxLoggedPath) line += "...";
  line += ' ';
  line += std::to_string(status);
  line += ' ';
  line += std::to_string(micros);
  line += "us ";
  line += EscapeForLog(note);
  return line;
}

struct PendingRequest {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::string body;
  bool tooLarge = false;
  bool answered = false;
};

struct HttpServerCallbacks {
  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url,
                              const char* method, const char* /*version*/, const char* uploadData,
                              size_t* uploadSize, void** state) {
    auto& server = *static_cast<HttpServer*>(cls);
    auto* pending = static_cast<PendingRequest*>(*state);
    if (pending == nullptr) {
      pending = new PendingRequest;
      *state = pending;
      // A declared length over the cap is refused before the body is read.
      const char* length =
          MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
      if (length != nullptr && std::strtoull(length, nullptr, 10) > server.bodyCap_) {
        pending->tooLarge = true;
        return Answer(server, connection, url, method, *pending);
      }
      return MHD_YES;
    }
    if (*uploadSize != 0) {
      if (!pending->tooLarge && !pending->answered) {
        if (pending->body.size() + *uploadSize > server.bodyCap_) {
          pending->tooLarge = true;
          pending->body.clear();
        } else {
          pending->body.append(uploadData, *uploadSize);
        }
      }
      *uploadSize = 0;
      return MHD_YES;
    }
    if (pending->answered) return MHD_YES;
    return Answer(server, connection, url, method, *pending);
  }

  static void OnCompleted(void* /*cls*/, MHD_Connection* /*connection*/, void** state,
                          MHD_RequestTerminationCode /*code*/) {
    delete static_cast<PendingRequest*>(*state);
    *state = nullptr;
  }

  static MHD_Result Answer(HttpServer& server, MHD_Connection* connection, const char* url,
                           const char* method, PendingRequest& pending) {
    pending.answered = true;
    HttpRequest request;
    request.method = method;
    request.path = url;
    request.body = std::move(pending.body);
    request.bodyTooLarge = pending.tooLarge;
    if (const char* host =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST)) {
      request.host = host;
    }
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &CollectArgument, &request.query);
    const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info != nullptr && info->client_addr != nullptr &&
        info->client_addr->sa_family == AF_INET) {
      request.sourceIp =
          SockAddr::FromSockaddr(*reinterpret_cast<const sockaddr_in*>(info->client_addr)).ip;
    }

    HttpResponse response;
    try {
      response = server.handler_(request);
    } catch (const std::exception& e) {
      response = {500, "text/plain; charset=utf-8", "The service failed.\n",
                  std::string("exception: ") + e.what()};
    } catch (...) {
      response = {500, "text/plain; charset=utf-8", "The service failed.\n", "exception"};
    }

    auto* body = new std::string(std::move(response.body));
    MHD_Response* answer = MHD_create_response_from_buffer_with_free_callback_cls(
        body->size(), body->data(), &FreeBody, body);
    if (answer == nullptr) {
      delete body;
      return MHD_NO;
    }
    MHD_add_response_header(answer, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.c_str());
    MHD_add_response_header(answer, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(answer, "X-Content-Type-Options", "nosniff");
    if (response.contentType.starts_with("text/html")) {
      MHD_add_response_header(answer, "Content-Security-Policy",
                              "default-src 'none'; style-src 'unsafe-inline'; "
                              "form-action 'self'; frame-ancestors 'none'");
    }
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(response.status), answer);
    MHD_destroy_response(answer);

    if (server.log_) {
      const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - pending.start)
                              .count();
      try {
        server.log_(FormatRequestLog(WallMs(), SockAddr{request.sourceIp, 0}.IpText(),
                                     request.method, request.path, response.status, micros,
                                     response.logNote));
      } catch (...) {
        // A log that cannot be written must not take the answer down.
      }
    }
    return queued;
  }
};

std::unique_ptr<HttpServer> HttpServer::Start(const HttpServerOptions& options,
                                              RequestHandler handler, LogSink log,
                                              std::string& error) {
  std::unique_ptr<HttpServer> server(
      new HttpServer(std::move(handler), std::move(log), options.bodyCap));
  unsigned threads = options.threads;
  if (threads == 0) threads = std::max(4u, 2 * std::thread::hardware_concurrency());
  sockaddr_in address = options.listen.ToSockaddr();
  // clang-format off
  server->daemon_ = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG, options.listen.port, nullptr, nullptr,
      &HttpServerCallbacks::OnRequest, server.get(),
      MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),
      MHD_OPTION_THREAD_POOL_SIZE, threads,
      MHD_OPTION_CONNECTION_TIMEOUT, options.connectionTimeoutS,
      MHD_OPTION_CONNECTION_LIMIT, options.connectionLimit,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, options.perSourceConnectionLimit,
      // Headers and read buffer per connection; the pool is cleared per request.
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(16 * 1024),
      MHD_OPTION_NOTIFY_COMPLETED, &HttpServerCallbacks::OnCompleted, nullptr,
      MHD_OPTION_END);
  // clang-format on
  if (server->daemon_ == nullptr) {
    error = "cannot listen on " + options.listen.ToString();
    return nullptr;
  }
  server->bound_ = options.listen;
  if (const auto* info = MHD_get_daemon_info(server->daemon_, MHD_DAEMON_INFO_BIND_PORT)) {
    server->bound_.port = info->port;
  }
  return server;
}

HttpServer::~HttpServer() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
}

}  // namespace dialvo::server
