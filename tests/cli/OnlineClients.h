#pragma once
// What the tests of clients online share: settings directories, command
// lines against a service process, and reading the presence lines.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/cli/CliProcess.h"
#include "tests/cli/ServerProcess.h"
#include "tests/support/ScratchDir.h"

namespace dialvo::test {

// The fields of an output line after its time (none without a line).
std::vector<std::string> Fields(const std::optional<std::string>& line);

// A client's own settings directory with its connection type. Clients on one
// machine publish loopback addresses: type 1 (the service takes the address
// the requests come from) or 2 with a configured address.
class ClientSettings {
 public:
  explicit ClientSettings(uint32_t ipType, const std::string& configuredIp = {});
  const std::string& Path() const { return dir_.Path(); }

 private:
  ScratchDir dir_;
};

// The command line of a client that logs in to server as user (password
// "pw-" + user) with a keep-alive every second, without sound, on any free
// port; more follows.
std::vector<std::string> ClientArgs(const ServerProcess& server, const ClientSettings& settings,
                                    const std::string& user, std::vector<std::string> more = {});

// The port of the client's first LISTENING line.
std::string ListeningPort(CliProcess& client);

}  // namespace dialvo::test
