#include "server/HttpServer.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
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

uint32_t ForwardedFor(std::string_view header) {
  const size_t comma = header.rfind(',');
  std::string_view last = comma == std::string_view::npos ? header : header.substr(comma + 1);
  while (!last.empty() && (last.front() == ' ' || last.front() == '\t')) last.remove_prefix(1);
  while (!last.empty() && (last.back() == ' ' || last.back() == '\t')) last.remove_suffix(1);
  return ParseIpv4(last).value_or(0);
}

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

// An answer that may come from another thread after the connection was
// suspended.
struct LateAnswer {
  std::mutex mutex;  // guards the fields below; taken by the HTTP thread and the answerer
  bool ready = false;
  bool suspended = false;
  HttpResponse response;
};

struct PendingRequest {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::string body;
  size_t reserved = 0;  // of the server's body budget
  bool tooLarge = false;
  bool overloaded = false;
  bool answered = false;
  std::shared_ptr<LateAnswer> late;
  // For the log line.
  std::string method;
  std::string path;
  uint32_t sourceIp = 0;
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
      const unsigned long long declared =
          length != nullptr ? std::strtoull(length, nullptr, 10) : 0;
      if (declared > server.bodyCap_) {
        pending->tooLarge = true;
        return Answer(server, connection, url, method, *pending);
      }
      // The buffer is sized once from the declared length; a body without
      // one (chunked) may take up to the cap.
      size_t want = static_cast<size_t>(declared);
      if (length == nullptr && MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                           MHD_HTTP_HEADER_TRANSFER_ENCODING)) {
        want = server.bodyCap_;
      }
      if (want != 0) {
        if (server.bodyBytes_.fetch_add(want) + want > server.bodyBudget_) {
          server.bodyBytes_.fetch_sub(want);
          pending->overloaded = true;
          return Answer(server, connection, url, method, *pending);
        }
        pending->reserved = want;
        pending->body.reserve(want);
      }
      return MHD_YES;
    }
    if (*uploadSize != 0) {
      if (!pending->tooLarge && !pending->answered) {
        if (pending->body.size() + *uploadSize > server.bodyCap_) {
          pending->tooLarge = true;
          std::string().swap(pending->body);
        } else {
          pending->body.append(uploadData, *uploadSize);
        }
      }
      *uploadSize = 0;
      return MHD_YES;
    }
    if (pending->answered) {
      // Called again after a late answer resumed the connection.
      if (pending->late == nullptr) return MHD_YES;
      HttpResponse response;
      {
        std::lock_guard lock(pending->late->mutex);
        if (!pending->late->ready) return MHD_YES;
        response = std::move(pending->late->response);
      }
      pending->late.reset();
      return Send(server, connection, *pending, std::move(response));
    }
    return Answer(server, connection, url, method, *pending);
  }

  static void OnCompleted(void* cls, MHD_Connection* connection, void** state,
                          MHD_RequestTerminationCode /*code*/) {
    auto& server = *static_cast<HttpServer*>(cls);
    auto* pending = static_cast<PendingRequest*>(*state);
    if (pending != nullptr) server.bodyBytes_.fetch_sub(pending->reserved);
    delete pending;
    *state = nullptr;
    // The next request on this connection has its own deadline.
    std::lock_guard lock(server.openMutex_);
    auto it = server.open_.find(connection);
    if (it != server.open_.end()) it->second.since = std::chrono::steady_clock::now();
  }

  static void OnConnection(void* cls, MHD_Connection* connection, void** /*socketContext*/,
                           MHD_ConnectionNotificationCode code) {
    auto& server = *static_cast<HttpServer*>(cls);
    std::lock_guard lock(server.openMutex_);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      // Before libmicrohttpd closes the socket: the deadline thread never
      // touches a descriptor number that was reused.
      server.open_.erase(connection);
      return;
    }
    const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr) {
      server.open_[connection] = {info->connect_fd, std::chrono::steady_clock::now()};
    }
  }

  static MHD_Result Answer(HttpServer& server, MHD_Connection* connection, const char* url,
                           const char* method, PendingRequest& pending) {
    pending.answered = true;
    HttpRequest request;
    request.method = method;
    request.path = url;
    request.body = std::move(pending.body);
    request.bodyTooLarge = pending.tooLarge;
    request.overloaded = pending.overloaded;
    if (const char* host =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST)) {
      request.host = host;
    }
    if (const char* origin =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ORIGIN)) {
      request.origin = origin;
    }
    if (const char* referer =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_REFERER)) {
      request.referer = referer;
    }
    if (const char* cookie =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_COOKIE)) {
      request.cookie = cookie;
    }
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &CollectArgument, &request.query);
    const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info != nullptr && info->client_addr != nullptr &&
        info->client_addr->sa_family == AF_INET) {
      request.sourceIp =
          SockAddr::FromSockaddr(*reinterpret_cast<const sockaddr_in*>(info->client_addr)).ip;
    }
    if (server.trustedProxy_ != 0 && request.sourceIp == server.trustedProxy_) {
      const char* forwarded =
          MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "X-Forwarded-For");
      // Without the header the proxy itself is asking.
      if (forwarded != nullptr) request.sourceIp = ForwardedFor(forwarded);
    }
    request.secure = server.secure_;
    pending.method = request.method;
    pending.path = request.path;
    pending.sourceIp = request.sourceIp;

    auto late = std::make_shared<LateAnswer>();
    Responder respond = [late, &server, connection](HttpResponse response) {
      std::lock_guard lock(late->mutex);
      if (late->ready) return;
      late->response = std::move(response);
      late->ready = true;
      if (!late->suspended) return;
      MHD_resume_connection(connection);
      std::lock_guard count(server.waitingMutex_);
      --server.waiting_;
      server.waitingDone_.notify_all();
    };
    try {
      server.handler_(request, respond);
    } catch (const std::exception& e) {
      respond({500,
               "text/plain; charset=utf-8",
               "The service failed.\n",
               std::string("exception: ") + e.what(),
               {}});
    } catch (...) {
      respond({500, "text/plain; charset=utf-8", "The service failed.\n", "exception", {}});
    }
    HttpResponse response;
    {
      std::lock_guard lock(late->mutex);
      if (!late->ready) {
        late->suspended = true;
        {
          std::lock_guard count(server.waitingMutex_);
          ++server.waiting_;
        }
        MHD_suspend_connection(connection);
        pending.late = std::move(late);
        return MHD_YES;
      }
      response = std::move(late->response);
    }
    return Send(server, connection, pending, std::move(response));
  }

  static MHD_Result Send(HttpServer& server, MHD_Connection* connection,
                         const PendingRequest& pending, HttpResponse response) {
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
    for (const auto& [name, value] : response.headers) {
      MHD_add_response_header(answer, name.c_str(), value.c_str());
    }
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
        server.log_(FormatRequestLog(WallMs(), SockAddr{pending.sourceIp, 0}.IpText(),
                                     pending.method, pending.path, response.status, micros,
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
  return Start(
      options,
      [handler = std::move(handler)](const HttpRequest& request, const Responder& respond) {
        respond(handler(request));
      },
      std::move(log), error);
}

std::unique_ptr<HttpServer> HttpServer::Start(const HttpServerOptions& options,
                                              AsyncRequestHandler handler, LogSink log,
                                              std::string& error) {
  std::unique_ptr<HttpServer> server(new HttpServer(std::move(handler), std::move(log), options));
  unsigned threads = options.threads;
  if (threads == 0) threads = std::max(4u, 2 * std::thread::hardware_concurrency());
  // Every connection is a descriptor: raise the soft limit as far as allowed
  // and keep the connections below it, with room for the database, the log
  // and the threads' own descriptors.
  server->connectionLimit_ = options.connectionLimit;
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    if (files.rlim_cur < files.rlim_max) {
      files.rlim_cur = files.rlim_max;
      if (setrlimit(RLIMIT_NOFILE, &files) != 0) getrlimit(RLIMIT_NOFILE, &files);
    }
    const rlim_t reserve = 64 + 4 * static_cast<rlim_t>(threads);
    if (files.rlim_cur != RLIM_INFINITY) {
      const rlim_t room = files.rlim_cur > reserve ? files.rlim_cur - reserve : 16;
      server->connectionLimit_ =
          static_cast<unsigned>(std::min<rlim_t>(server->connectionLimit_, room));
    }
  }
  sockaddr_in address = options.listen.ToSockaddr();
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
  // libmicrohttpd keeps pointers to the PEM texts, which options outlives
  // only for this call: the server keeps its own copies.
  server->tlsCert_ = options.tlsCertPem;
  server->tlsKey_ = options.tlsKeyPem;
  MHD_OptionItem tls[] = {
      {MHD_OPTION_HTTPS_MEM_CERT, 0, server->tlsCert_.data()},
      {MHD_OPTION_HTTPS_MEM_KEY, 0, server->tlsKey_.data()},
      {MHD_OPTION_END, 0, nullptr},
  };
  if (server->secure_) {
    if (options.tlsKeyPem.empty()) {
      error = "HTTPS needs both a certificate and its key";
      return nullptr;
    }
    if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
      error = "this libmicrohttpd cannot serve HTTPS";
      return nullptr;
    }
    flags |= MHD_USE_TLS;
  } else {
    tls[0] = {MHD_OPTION_END, 0, nullptr};
  }
  // clang-format off
  server->daemon_ = MHD_start_daemon(
      flags, options.listen.port, nullptr, nullptr,
      &HttpServerCallbacks::OnRequest, server.get(),
      MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),
      MHD_OPTION_THREAD_POOL_SIZE, threads,
      MHD_OPTION_CONNECTION_TIMEOUT, options.connectionTimeoutS,
      MHD_OPTION_CONNECTION_LIMIT, server->connectionLimit_,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, options.perSourceConnectionLimit,
      // Headers and read buffer per connection; the pool is cleared per request.
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(16 * 1024),
      MHD_OPTION_NOTIFY_COMPLETED, &HttpServerCallbacks::OnCompleted, server.get(),
      MHD_OPTION_NOTIFY_CONNECTION, &HttpServerCallbacks::OnConnection, server.get(),
      MHD_OPTION_ARRAY, tls,
      MHD_OPTION_END);
  // clang-format on
  if (server->daemon_ == nullptr) {
    error = "cannot listen on " + options.listen.ToString();
    if (server->secure_) error += " (or the TLS certificate and key are not a valid PEM pair)";
    return nullptr;
  }
  server->bound_ = options.listen;
  if (const auto* info = MHD_get_daemon_info(server->daemon_, MHD_DAEMON_INFO_BIND_PORT)) {
    server->bound_.port = info->port;
  }
  server->watcher_ = std::thread([raw = server.get()] { raw->Watch(); });
  return server;
}

void HttpServer::Watch() {
  const auto deadline = std::chrono::milliseconds(deadlineMs_);
  std::unique_lock lock(openMutex_);
  while (!stop_.wait_for(lock, std::chrono::milliseconds(checkMs_), [this] { return stopping_; })) {
    const auto now = std::chrono::steady_clock::now();
    for (auto& [connection, open] : open_) {
      if (now - open.since <= deadline) continue;
      // libmicrohttpd sees the connection fail and closes it itself.
      ::shutdown(open.fd, SHUT_RDWR);
      open.since = now;
    }
  }
}

HttpServer::~HttpServer() {
  if (watcher_.joinable()) {
    {
      std::lock_guard lock(openMutex_);
      stopping_ = true;
    }
    stop_.notify_all();
    watcher_.join();
  }
  if (daemon_ == nullptr) return;
  // A suspended connection must be resumed before the daemon may stop.
  {
    std::unique_lock lock(waitingMutex_);
    waitingDone_.wait(lock, [this] { return waiting_ == 0; });
  }
  MHD_stop_daemon(daemon_);
}

}  // namespace dialvo::server
