#include "tests/cli/OnlineClients.h"

#include <sstream>

#include "settings/Settings.h"

namespace dialvo::test {

std::vector<std::string> Fields(const std::optional<std::string>& line) {
  std::vector<std::string> fields;
  if (!line) return fields;
  std::istringstream in(*line);
  std::string ms;
  in >> ms;
  for (std::string field; in >> field;) fields.push_back(field);
  return fields;
}

ClientSettings::ClientSettings(uint32_t ipType, const std::string& configuredIp) {
  SettingsStore store(dir_.Path());
  SaveNetworkSettings(store, {.configuredIp = configuredIp, .ipType = ipType});
}

std::vector<std::string> ClientArgs(const ServerProcess& server, const ClientSettings& settings,
                                    const std::string& user, std::vector<std::string> more) {
  std::vector<std::string> args = {
      "--null-audio", "--port",          "0",       "--config", settings.Path(),
      "--server",     server.HostPort(), "--login", user,       "--password",
      "pw-" + user,   "--keepalive",     "1"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::string ListeningPort(CliProcess& client) {
  return CliProcess::Value(client.WaitWord("LISTENING").value_or(""), "port");
}

}  // namespace dialvo::test
