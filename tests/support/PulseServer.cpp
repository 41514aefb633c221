#include "tests/support/PulseServer.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace dialvo::test {

namespace {

bool Accepts(const std::string& socketPath) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

}  // namespace

bool PulseServer::StartForThisProcess(std::string* error) {
  if (!Start(error)) return false;
  for (const std::string& setting : ClientEnv()) {
    const size_t eq = setting.find('=');
    setenv(setting.substr(0, eq).c_str(), setting.substr(eq + 1).c_str(), 1);
  }
  return true;
}

std::vector<std::string> PulseServer::ClientEnv() const {
  const std::string& dir = dir_.Path();
  return {"HOME=" + dir,
          "XDG_RUNTIME_DIR=" + dir,
          "XDG_CONFIG_HOME=" + dir + "/config",
          "PULSE_RUNTIME_PATH=" + dir + "/runtime",
          "PULSE_STATE_PATH=" + dir + "/state",
          "PULSE_COOKIE=" + dir + "/cookie",
          "PULSE_SERVER=" + Address()};
}

bool PulseServer::Start(std::string* error) {
  if (dir_.Path().empty()) {
    *error = "no scratch directory";
    return false;
  }
  if (Socket().size() >= sizeof(sockaddr_un::sun_path)) {
    *error = "socket path too long: " + Socket();
    return false;
  }
  const std::string log = dir_.File("pulseaudio.log");
  // -n: no default configuration script, only the modules named here.
  // As root pulseaudio warns but runs; --system is not wanted (it would use
  // the system-wide directories).
  const std::vector<std::string> argv = {
      "pulseaudio",
      "-n",
      "--daemonize=no",
      "--exit-idle-time=-1",
      "--use-pid-file=no",
      "--disable-shm=yes",
      "--realtime=no",
      "--high-priority=no",
      "--log-target=stderr",
      "--log-level=notice",
      "-L",
      "module-native-protocol-unix auth-anonymous=1 socket=" + Socket(),
      "-L",
      "module-null-sink sink_name=out rate=8000 channels=1"};
  if (!process_.Start(argv, ClientEnv(), log)) {
    *error = "cannot start pulseaudio";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!Accepts(Socket())) {
    if (!process_.Running() || std::chrono::steady_clock::now() >= deadline) {
      process_.Stop();
      *error = "pulseaudio did not come up:\n" + ReadFile(log);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

int PulseServer::Pactl(const std::vector<std::string>& args, std::string* output) {
  std::vector<std::string> argv = {"pactl", "--server=" + Address()};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string file = dir_.File("pactl.out");
  unlink(file.c_str());
  const int status = RunProgram(argv, ClientEnv(), file);
  if (output != nullptr) *output = ReadFile(file);
  return status;
}

uint32_t PulseServer::Volume(const std::string& kind, const std::string& name) {
  std::string out;
  return Pactl({"get-" + kind + "-volume", name}, &out) == 0 ? FirstVolume(out) : UINT32_MAX;
}

uint32_t PulseServer::FirstVolume(const std::string& pactlText) {
  size_t at = pactlText.find("Volume:");
  if (at != std::string::npos) at = pactlText.find(':', at + 7);
  return at == std::string::npos ? UINT32_MAX
                                 : static_cast<uint32_t>(std::stoul(pactlText.substr(at + 1)));
}

}  // namespace dialvo::test
