#pragma once
// The command line of dialvo-server.
#include <cstdint>
#include <string>
#include <vector>

#include "base/UdpSocket.h"

namespace dialvo::server {

struct Options {
  enum class Action { kServe, kUserAdd, kUserDel, kUserList, kHelp, kVersion };
  Action action = Action::kServe;
  SockAddr listen = SockAddr::Loopback(8720);
  std::string db;          // empty: DefaultDatabasePath()
  std::string publicHost;  // empty: the Host header of each directory request
  int64_t keepAliveS = 45;
  unsigned threads = 0;
  uint32_t trustedProxy = 0;  // 0: none
  unsigned perAddress = 16;   // connections one client address may hold
  unsigned processes = 1;     // service processes behind one proxy, sharing the database
  std::string tlsCert;        // PEM files; both or neither
  std::string tlsKey;
  std::string name;      // user add / del
  std::string password;  // user add; empty: read from standard input
};

// False, with the reason in error, when the command line is wrong.
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

// $XDG_DATA_HOME/Orvanta/dialvo-server.db, with ~/.local/share for an unset
// XDG_DATA_HOME.
std::string DefaultDatabasePath();

// host[:port] (no port for 80) at which programs reach a service listening
// on `listen`, for requests that do not say which host they asked for.
std::string HostForClients(const SockAddr& listen);

extern const char* const kUsage;

}  // namespace dialvo::server
