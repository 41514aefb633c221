#include "server/Options.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "server/Text.h"

namespace dialvo::server {

const char* const kUsage =
    "Usage:\n"
    "  dialvo-server [--listen ADDR:PORT] [--db PATH] [--public-host HOST[:PORT]]\n"
    "                [--keepalive SECONDS] [--threads N] [--trusted-proxy ADDR]\n"
    "                [--connections-per-address N] [--processes N]\n"
    "                [--tls-cert FILE --tls-key FILE]\n"
    "  dialvo-server [--db PATH] user add NAME [PASSWORD]\n"
    "  dialvo-server [--db PATH] user del NAME\n"
    "  dialvo-server [--db PATH] user list\n"
    "  dialvo-server --help | --version\n"
    "\n"
    "Runs the Orvanta Dialvo presence service, or manages its accounts.\n"
    "\n"
    "  --listen ADDR:PORT         address to serve HTTP on (127.0.0.1:8720)\n"
    "  --db PATH                  database file ($XDG_DATA_HOME/Orvanta/dialvo-server.db),\n"
    "                             or postgresql://... for a database that several\n"
    "                             service processes share\n"
    "  --public-host HOST[:PORT]  where programs reach this service, as the directory\n"
    "                             names it (default: the host each request was sent to)\n"
    "  --keepalive SECONDS        the programs' keep-alive period (45); a login expires\n"
    "                             after three missed keep-alives\n"
    "  --threads N                HTTP threads (two per core, at least four)\n"
    "  --trusted-proxy ADDR       a reverse proxy at this IPv4 address: requests from it\n"
    "                             count as coming from their X-Forwarded-For address\n"
    "  --connections-per-address N  connections one address may hold at once (16)\n"
    "  --processes N              how many service processes share the database behind\n"
    "                             one proxy (1); each keeps 1/N of the rate limits\n"
    "  --tls-cert FILE            serve HTTPS with this PEM certificate (chain) ...\n"
    "  --tls-key FILE             ... and this PEM private key\n"
    "\n"
    "user add reads the password from standard input when it is not given, which keeps\n"
    "it out of the process list and the shell history.\n";

namespace {

bool ParseListen(const std::string& text, SockAddr& out) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  const auto ip = ParseIpv4(text.substr(0, colon));
  const std::string port = text.substr(colon + 1);
  if (!ip || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int64_t number = LeadingNumber(port);
  if (number > 65535) return false;
  out = {*ip, static_cast<uint16_t>(number)};
  return true;
}

bool ParsePositive(const std::string& text, int64_t max, int64_t& out) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  out = LeadingNumber(text);
  return out >= 1 && out <= max;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.action = Options::Action::kHelp;
      return true;
    }
    if (arg == "--version") {
      options.action = Options::Action::kVersion;
      return true;
    }
    if (arg.starts_with("--")) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      const std::string& value = args[++i];
      int64_t number = 0;
      if (arg == "--listen") {
        if (!ParseListen(value, options.listen)) {
          error = "--listen wants ADDR:PORT with a dotted IPv4 address, not " + value;
          return false;
        }
      } else if (arg == "--db") {
        options.db = value;
      } else if (arg == "--public-host") {
        if (!IsPlausibleHostPort(value)) {
          error = "--public-host wants HOST or HOST:PORT, not " + value;
          return false;
        }
        options.publicHost = value;
      } else if (arg == "--keepalive") {
        if (!ParsePositive(value, 86400, number)) {
          error = "--keepalive wants a number of seconds, not " + value;
          return false;
        }
        options.keepAliveS = number;
      } else if (arg == "--threads") {
        if (!ParsePositive(value, 1024, number)) {
          error = "--threads wants a number from 1 to 1024, not " + value;
          return false;
        }
        options.threads = static_cast<unsigned>(number);
      } else if (arg == "--connections-per-address") {
        if (!ParsePositive(value, 65535, number)) {
          error = "--connections-per-address wants a number from 1 to 65535, not " + value;
          return false;
        }
        options.perAddress = static_cast<unsigned>(number);
      } else if (arg == "--processes") {
        if (!ParsePositive(value, 64, number)) {
          error = "--processes wants a number from 1 to 64, not " + value;
          return false;
        }
        options.processes = static_cast<unsigned>(number);
      } else if (arg == "--trusted-proxy") {
        const auto ip = ParseIpv4(value);
        if (!ip || *ip == 0) {
          error = "--trusted-proxy wants a dotted IPv4 address, not " + value;
          return false;
        }
        options.trustedProxy = *ip;
      } else if (arg == "--tls-cert") {
        options.tlsCert = value;
      } else if (arg == "--tls-key") {
        options.tlsKey = value;
      } else {
        error = "unknown option " + arg;
        return false;
      }
      continue;
    }
    words.push_back(arg);
  }
  if (options.tlsCert.empty() != options.tlsKey.empty()) {
    error = "--tls-cert and --tls-key go together";
    return false;
  }
  if (words.empty()) return true;
  if (words[0] != "user" || words.size() < 2) {
    error = "unknown command " + words[0];
    return false;
  }
  const std::string& verb = words[1];
  if (verb == "add" && (words.size() == 3 || words.size() == 4)) {
    options.action = Options::Action::kUserAdd;
    options.name = words[2];
    if (words.size() == 4) options.password = words[3];
  } else if (verb == "del" && words.size() == 3) {
    options.action = Options::Action::kUserDel;
    options.name = words[2];
  } else if (verb == "list" && words.size() == 2) {
    options.action = Options::Action::kUserList;
  } else {
    error = "use: user add NAME [PASSWORD], user del NAME or user list";
    return false;
  }
  return true;
}

std::string HostForClients(const SockAddr& listen) {
  std::string host = listen.IpText();
  if (listen.ip == 0) {
    // Listening everywhere: the machine's name is the best guess.
    char name[256] = {};
    const bool named = gethostname(name, sizeof name - 1) == 0 && IsPlausibleHost(name);
    host = named ? name : "127.0.0.1";
  }
  return listen.port == 80 ? host : host + ":" + std::to_string(listen.port);
}

std::string DefaultDatabasePath() {
  std::string base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
      const passwd* entry = getpwuid(getuid());
      home = entry != nullptr ? entry->pw_dir : "/tmp";
    }
    base = std::string(home) + "/.local/share";
  }
  return base + "/Orvanta/dialvo-server.db";
}

}  // namespace dialvo::server
