#include "tests/service/FakeHttpServer.h"

#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "tests/support/LoopbackPorts.h"

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

// Header names compare without regard to case.
bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::string HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (SameName(key, name)) return value;
  }
  return {};
}

int HttpRequest::HeaderCount(std::string_view name) const {
  return static_cast<int>(std::count_if(headers.begin(), headers.end(),
                                        [&](const auto& h) { return SameName(h.first, name); }));
}

HttpResponse HttpResponse::Text(int status, std::string_view body) {
  std::string raw =
      "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: text/html\r\n" +
      "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  raw.append(body);
  return {raw, false};
}

FakeHttpServer::FakeHttpServer(Handler handler) : handler_(std::move(handler)) {
  listenFd_ = LoopbackTcpSocket(true, &port_);
  if (listenFd_ < 0) std::abort();
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
  const auto receive = [&] {
    const ssize_t n = WaitReadable(fd, stopFd_) ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
    if (n > 0) data.append(buffer, static_cast<size_t>(n));
    return n > 0;
  };
  // The head, then as many body bytes as it announces.
  size_t headEnd;
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
    if (!receive()) return;
  }
  HttpRequest request;
  request.head = data.substr(0, headEnd + 2);
  std::istringstream lines(request.head);
  std::string line;
  std::getline(lines, line);
  std::istringstream(line) >> request.method >> request.target;
  while (std::getline(lines, line)) {
    line.pop_back();  // the '\r'
    const size_t colon = line.find(':');
    const size_t value = line.find_first_not_of(' ', colon + 1);
    request.headers.emplace_back(line.substr(0, colon),
                                 value == std::string::npos ? "" : line.substr(value));
  }
  const size_t need =
      headEnd + 4 + std::strtoul(request.Header("Content-Length").c_str(), nullptr, 10);
  while (data.size() < need) {
    if (!receive()) return;
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
  const auto hex = [&](size_t i) { return std::isxdigit(static_cast<unsigned char>(text[i])); };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(i + 1) && hex(i + 2)) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
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
