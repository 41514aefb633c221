#pragma once
// A small HTTP/1.1 server on 127.0.0.1 with an ephemeral port. It records
// every request byte for byte and answers with whatever bytes its handler
// gives, or not at all.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace dialvo::test {

struct HttpRequest {
  std::string head;  // request line and header lines, as received
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The first value of a header (name without regard to case), or "".
  std::string Header(std::string_view name) const;
  int HeaderCount(std::string_view name) const;
};

struct HttpResponse {
  std::string raw;    // sent as it is, then the connection is closed
  bool hang = false;  // send nothing; keep the connection until the server stops

  static HttpResponse Text(int status, std::string_view body);
  static HttpResponse Hang() { return {{}, true}; }
};

class FakeHttpServer {
 public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;

  explicit FakeHttpServer(Handler handler);
  ~FakeHttpServer();
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;

  uint16_t Port() const { return port_; }
  std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
  std::vector<HttpRequest> Requests() const;

 private:
  void AcceptLoop();
  void Serve(int fd);

  Handler handler_;
  int listenFd_ = -1;
  int stopFd_ = -1;  // eventfd, readable once the server stops
  uint16_t port_ = 0;
  std::thread acceptThread_;
  mutable std::mutex mutex_;  // guards requests_ and connections_; connection and test threads
  std::vector<HttpRequest> requests_;
  std::vector<std::thread> connections_;
};

// "a=b&c=d" decoded into name and value pairs, in order.
std::vector<std::pair<std::string, std::string>> DecodeForm(std::string_view body);
std::string PercentDecode(std::string_view text);

}  // namespace dialvo::test
