// Attacks on a dialvo-server listening on loopback, for bench/server/attack.
// Each is bounded in time and connections and prints what a legitimate
// program saw meanwhile.
//   server_attack guess PORT CONNECTIONS SECONDS
//       password guessing over CONNECTIONS keep-alive connections, each from
//       its own 127.1.x.y address; meanwhile u0's keep-alive is timed
//   server_attack slow PORT CONNECTIONS SECONDS SERVER-PID
//       CONNECTIONS connections (16 per 127.2.x.y address) each declaring a
//       128000-byte body, sending all but a few bytes, then one byte a second;
//       meanwhile u0's keep-alive, each on a new connection
//   server_attack talking PORT REPORTS DATABASE
//       REPORTS call reports for u0, each of a new call, as fast as answered;
//       prints how much the database grew
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kIamup =
    "User=u0&Pass=bench-pass&ListeningPort=1720&InstanceGUID=guid-0&IPAddr=&IPType=1&Version=5";

int Connect(uint16_t port, uint32_t source) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(source);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(0x7F000001);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string Post(const std::string& path, const std::string& body) {
  return "POST " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
         "application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// One request on a keep-alive connection; the answer body, or false.
bool Exchange(int fd, const std::string& request, std::string& body) {
  if (!SendAll(fd, request)) return false;
  std::string got;
  char buffer[4096];
  for (;;) {
    const size_t end = got.find("\r\n\r\n");
    if (end != std::string::npos) {
      const size_t length = got.find("Content-Length: ");
      if (length != std::string::npos && length < end) {
        const size_t size = std::strtoul(got.c_str() + length + 16, nullptr, 10);
        if (got.size() >= end + 4 + size) {
          body = got.substr(end + 4, size);
          return true;
        }
      }
    }
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    got.append(buffer, static_cast<size_t>(n));
  }
}

void RaiseFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

int Guess(uint16_t port, int connections, int seconds) {
  std::atomic<bool> stop{false};
  std::atomic<long> answers{0};
  std::atomic<long> throttled{0};
  std::atomic<long> busy{0};
  std::vector<std::thread> attackers;
  attackers.reserve(static_cast<size_t>(connections));
  for (int c = 0; c < connections; ++c) {
    attackers.emplace_back([&, c] {
      const uint32_t source =
          0x7F010000u + static_cast<uint32_t>((c / 250) << 8) + static_cast<uint32_t>(c % 250 + 1);
      int fd = -1;
      for (long k = 0; !stop; ++k) {
        if (fd < 0) fd = Connect(port, source);
        if (fd < 0) continue;
        // Half at a real account, half at names that do not exist.
        const std::string user = k % 2 ? "u1" : "x" + std::to_string(c) + "-" + std::to_string(k);
        std::string body;
        if (!Exchange(fd,
                      Post("/dialvo/logmein.asp",
                           "user=" + user + "&Pass=guess" + std::to_string(k) + "&InstanceGUID=g-" +
                               std::to_string(c) + "&ListeningPort=1720&IPType=1&Version=5"),
                      body)) {
          ::close(fd);
          fd = -1;
          continue;
        }
        ++answers;
        if (body.find("Too many failed") != std::string::npos) ++throttled;
        if (body.find("busy") != std::string::npos) ++busy;
      }
      if (fd >= 0) ::close(fd);
    });
  }
  std::vector<double> latencies;
  long failed = 0;
  int fd = -1;
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the flood first
  while (Clock::now() < end) {
    if (fd < 0) fd = Connect(port, 0x7F000001);
    const auto start = Clock::now();
    std::string body;
    if (fd < 0 || !Exchange(fd, Post("/dialvo/iamup.asp", kIamup), body) || body != "+") {
      ++failed;
      if (fd >= 0) ::close(fd);
      fd = -1;
      continue;
    }
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop = true;
  for (auto& attacker : attackers) attacker.join();
  if (fd >= 0) ::close(fd);
  std::printf(
      "guessing, %d connections, %d s: legitimate iamup p50 %.1f ms, p99 %.1f ms, max %.1f ms "
      "(%zu answered, %ld failed; target p99 <= 50 ms); attacker %.0f answers/s, %.1f%% "
      "throttled, %.1f%% busy\n",
      connections, seconds, Percentile(latencies, 0.5), Percentile(latencies, 0.99),
      Percentile(latencies, 1.0), latencies.size(), failed, static_cast<double>(answers) / seconds,
      answers ? 100.0 * static_cast<double>(throttled) / static_cast<double>(answers) : 0.0,
      answers ? 100.0 * static_cast<double>(busy) / static_cast<double>(answers) : 0.0);
  return 0;
}

long ResidentKb(const std::string& pid, const char* field) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::string(field).size());
  }
  return -1;
}

int Slow(uint16_t port, int connections, int seconds, const std::string& pid) {
  constexpr size_t kDeclared = 128000;
  const long before = ResidentKb(pid, "VmRSS:");
  const std::string body(kDeclared - 16, 'x');
  std::vector<int> fds;
  long opened = 0;
  for (int c = 0; c < connections; ++c) {
    const uint32_t source = 0x7F020000u + static_cast<uint32_t>(((c / 16) / 250) << 8) +
                            static_cast<uint32_t>((c / 16) % 250 + 1);
    const int fd = Connect(port, source);
    if (fd < 0) continue;
    ++opened;
    const std::string head =
        "POST /dialvo/syncblist.asp HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Content-Length: " +
        std::to_string(kDeclared) + "\r\n\r\n";
    timeval quick{0, 20000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &quick, sizeof quick);
    if (!SendAll(fd, head)) {
      ::close(fd);
      continue;
    }
    ::send(fd, body.data(), body.size(), MSG_NOSIGNAL);  // as much as the server takes
    fds.push_back(fd);
  }
  long asked = 0;
  long answered = 0;
  long peak = ResidentKb(pid, "VmRSS:");
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  auto nextByte = Clock::now();
  while (Clock::now() < end) {
    if (Clock::now() >= nextByte) {
      for (int& fd : fds) {
        if (fd >= 0 && ::send(fd, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) {
          ::close(fd);
          fd = -1;
        }
      }
      nextByte = Clock::now() + std::chrono::seconds(1);
    }
    ++asked;
    const int fd = Connect(port, 0x7F000001);
    std::string answer;
    if (fd >= 0 && Exchange(fd, Post("/dialvo/iamup.asp", kIamup), answer) && answer == "+") {
      ++answered;
    }
    if (fd >= 0) ::close(fd);
    peak = std::max(peak, ResidentKb(pid, "VmRSS:"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const long held =
      static_cast<long>(std::count_if(fds.begin(), fds.end(), [](int fd) { return fd >= 0; }));
  for (int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
  std::printf(
      "slow bodies, %d connections (%ld opened, %ld still open at the end), %d s: legitimate "
      "iamup answered %ld of %ld; server memory %.1f MB before, peak %.1f MB (target <= 64 MB)\n",
      connections, opened, held, seconds, answered, asked, before / 1024.0, peak / 1024.0);
  return 0;
}

uintmax_t DatabaseBytes(const std::string& path) {
  std::error_code ignored;
  uintmax_t total = 0;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const auto size = std::filesystem::file_size(path + suffix, ignored);
    if (!ignored) total += size;
  }
  return total;
}

int Talking(uint16_t port, int reports, const std::string& database) {
  const uintmax_t before = DatabaseBytes(database);
  const int fd = Connect(port, 0x7F000001);
  if (fd < 0) return 1;
  int accepted = 0;
  const auto start = Clock::now();
  for (int i = 0; i < reports; ++i) {
    std::string answer;
    const std::string body =
        "User=u0&RemUser=u1&Minutes=1&AvgDelay=20&RemUser=u2&Minutes=1&AvgDelay=20&SessionID=0"
        "&Version=5&IsRecorded=0&VoiceConferenceGUID=flood-" +
        std::to_string(i);
    if (!Exchange(fd, Post("/dialvo/iamtalking.asp", body), answer)) break;
    if (!answer.empty() && answer[0] == '+') ++accepted;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(fd);
  std::printf(
      "call report flood, %d reports in %.1f s: %d accepted; database grew %.2f MB "
      "(target <= 1 MB)\n",
      reports, seconds, accepted,
      static_cast<double>(DatabaseBytes(database) - before) / (1024.0 * 1024.0));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  RaiseFileLimit();
  if (args.size() == 4 && args[0] == "guess") {
    return Guess(static_cast<uint16_t>(std::atoi(args[1].c_str())), std::atoi(args[2].c_str()),
                 std::atoi(args[3].c_str()));
  }
  if (args.size() == 5 && args[0] == "slow") {
    return Slow(static_cast<uint16_t>(std::atoi(args[1].c_str())), std::atoi(args[2].c_str()),
                std::atoi(args[3].c_str()), args[4]);
  }
  if (args.size() == 4 && args[0] == "talking") {
    return Talking(static_cast<uint16_t>(std::atoi(args[1].c_str())), std::atoi(args[2].c_str()),
                   args[3]);
  }
  std::fprintf(stderr,
               "usage: server_attack guess PORT CONNECTIONS SECONDS\n"
               "       server_attack talking PORT REPORTS DATABASE\n"
               "       server_attack slow PORT CONNECTIONS SECONDS SERVER-PID\n");
  return 2;
}
