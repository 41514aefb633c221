#pragma once
// A private PulseAudio server for one test: its own directory, socket and
// state, a null sink "out" as the default sink and that sink's monitor as the
// default source (so capture hears what is played). It accepts any client on
// its socket and runs as root as well. Ended when the object goes.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/ScratchDir.h"

namespace dialvo::test {

class PulseServer {
 public:
  PulseServer() = default;
  ~PulseServer() { process_.Stop(); }
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // Starts the server and waits (up to ten seconds) until it takes clients.
  // False with the reason and the server's log in *error.
  bool Start(std::string* error);
  // Start, and point this process's own client library at the server.
  bool StartForThisProcess(std::string* error);
  // The address for clients: "unix:<dir>/native".
  std::string Address() const { return "unix:" + Socket(); }
  // Runs pactl against the server; its exit status, output in *output.
  int Pactl(const std::vector<std::string>& args, std::string* output);
  // The first channel's volume of a "sink" or "source"; UINT32_MAX when
  // pactl gives none.
  uint32_t Volume(const std::string& kind, const std::string& name);
  // The first channel's volume in pactl's "Volume: front-left: 65536 / 100% / ...".
  static uint32_t FirstVolume(const std::string& pactlText);
  // The settings a client process needs so that it leaves the user's own
  // sound configuration alone.
  std::vector<std::string> ClientEnv() const;
  const std::string& Directory() const { return dir_.Path(); }

 private:
  std::string Socket() const { return dir_.File("native"); }

  ScratchDir dir_;
  ChildProcess process_;
};

}  // namespace dialvo::test
