#include "tests/service/FakeHttpServer.h"

#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace dialvo::test {

namespace {

// Waits until fd is readable or the server stops; false on stop or error.
bool WaitReadable(int fd, int stopFd) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
  for (;;) {
    const int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[1].revents & POLLIN) != 0) return false;
    return true;
  }
}

void SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    data.remove_prefix(static_cast<size_t>(n));
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0) {
      return value;
    }
  }
  return {};
}

int HttpRequest::HeaderCount(std::string_view name) const {
  int count = 0;
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0) {
      ++count;
    }
  }
  return count;
}

HttpResponse HttpResponse::Text(int status, std::string_view body) {
  std::string raw =
      "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: text/html\r\n" +
      "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  raw.append(body);
  return {raw, false};
}

FakeHttpServer::FakeHttpServer(Handler handler) : handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 16) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::abort();
  }
  port_ = ntohs(addr.sin_port);
  stopFd_ = ::eventfd(0, EFD_CLOEXEC);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

FakeHttpServer::~FakeHttpServer() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one);
  acceptThread_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& t : connections) t.join();
  ::close(listenFd_);
  ::close(stopFd_);
}

std::vector<HttpRequest> FakeHttpServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void FakeHttpServer::AcceptLoop() {
  while (WaitReadable(listenFd_, stopFd_)) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    connections_.emplace_back([this, fd] {
      Serve(fd);
      ::close(fd);
    });
  }
}

void FakeHttpServer::Serve(int fd) {
  std::string data;
  char buffer[4096];
  size_t headEnd = std::string::npos;
  size_t need = 0;
  HttpRequest request;
  for (;;) {
    if (headEnd == std::string::npos) {
      headEnd = data.find("\r\n\r\n");
      if (headEnd != std::string::npos) {
        request.head = data.substr(0, headEnd + 2);
        size_t lineEnd = request.head.find("\r\n");
        const std::string line = request.head.substr(0, lineEnd);
        const size_t sp1 = line.find(' ');
        const size_t sp2 = line.find(' ', sp1 + 1);
        request.method = line.substr(0, sp1);
        request.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        size_t pos = lineEnd + 2;
        while (pos < request.head.size()) {
          lineEnd = request.head.find("\r\n", pos);
          const std::string header = request.head.substr(pos, lineEnd - pos);
          pos = lineEnd + 2;
          const size_t colon = header.find(':');
          std::string value = header.substr(colon + 1);
          while (!value.empty() && value.front() == ' ') value.erase(0, 1);
          request.headers.emplace_back(header.substr(0, colon), value);
        }
        need = headEnd + 4 + std::strtoul(request.Header("Content-Length").c_str(), nullptr, 10);
      }
    }
    if (headEnd != std::string::npos && data.size() >= need) break;
    if (!WaitReadable(fd, stopFd_)) return;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    data.append(buffer, static_cast<size_t>(n));
  }
  request.body = data.substr(headEnd + 4, need - headEnd - 4);
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  const HttpResponse response = handler_(request);
  if (response.hang) {
    // Until the client gives up (closes) or the server stops.
    while (WaitReadable(fd, stopFd_) && ::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    return;
  }
  SendAll(fd, response.raw);
  ::shutdown(fd, SHUT_WR);
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> DecodeForm(std::string_view body) {
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t pos = 0;
  while (pos <= body.size() && !body.empty()) {
    size_t end = body.find('&', pos);
    if (end == std::string_view::npos) end = body.size();
    const std::string_view part = body.substr(pos, end - pos);
    const size_t eq = part.find('=');
    pairs.emplace_back(PercentDecode(part.substr(0, eq)),
                       eq == std::string_view::npos ? "" : PercentDecode(part.substr(eq + 1)));
    pos = end + 1;
  }
  return pairs;
}

}  // namespace dialvo::test
