// CPU time of an engine that listens and nothing else happens.
// Usage: voice-idle-bench SECONDS
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "engine/EngineEvents.h"
#include "engine/EventSink.h"
#include "engine/NetCore.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace dialvo;
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: voice-idle-bench SECONDS\n");
    return 2;
  }
  EventQueueWindow window;
  EventSink sink(&window);
  EngineConfig config;
  config.listeningPort = 0;
  config.localPort = 0;
  SoundBackendOptions sound;
  sound.kind = SoundBackendKind::kNull;
  config.sound = CreateSoundBackend(sound, nullptr);
  NetCore engine(config, &sink, "idle");
  if (engine.ListeningPort() == 0) {
    std::fprintf(stderr, "voice-idle-bench: the engine could not listen\n");
    return 1;
  }
  // Start-up is not idling.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double before = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = CpuSeconds() - before;
  std::printf(
      "idle listening engine: %.1f ms CPU in %.1f s = %.4f %% of a core (target < 0.1 %%)\n",
      cpu * 1000, wall, 100 * cpu / wall);
  engine.Stop();
  return 0;
}
