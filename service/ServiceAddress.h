#pragma once
// Where requests go: the service's hosts as the settings and the directory
// name them, and the nine values the directory answers with.
#include <cstdint>
#include <string>
#include <string_view>

namespace dialvo {

// A host as configured or as the directory names it: "host", "host:port",
// or an "http://" or "https://" address, perhaps with a path in front of
// the scripts. Port 80 (443 for https) when none is given.
struct ServiceHost {
  std::string host;     // name or dotted address
  uint16_t port = 80;   // 0 when the port given is not a number in range
  std::string baseUrl;  // scheme, host, port and path prefix, no trailing slash
};
ServiceHost ParseServiceHost(std::string_view text);

// The address of one request: the object path is sent as it is, except that
// bytes a URL path cannot hold (the backslash between path and script among
// them) are percent-encoded, so the server decodes exactly that text.
std::string RequestUrl(std::string_view host, std::string_view objectPath);

// The host the commands go to, from the directory's CURRENT IP: a directory
// reached over https never has the commands, passwords and all, sent over
// plain http.
std::string CommandHost(std::string_view directoryHost, std::string_view currentIp);

// Where the service lives and which script serves which command, in the
// order the directory answer is read.
struct ServerLocation {
  std::string currentIp;  // CURRENT IP: host of every command, perhaps with ":port"
  std::string path;       // PATH: folder of the scripts
  std::string logmeinFile;
  std::string logmeoffFile;
  std::string iamupFile;
  std::string syncblistFile;
  std::string getuserlistFile;
  std::string iamtalkingFile;
  std::string fwtestFile;

  // PATH, one backslash, the script.
  std::string ObjectPath(std::string_view script) const;
  friend bool operator==(const ServerLocation&, const ServerLocation&) = default;
};

// Reads one value from ini text the way the platform's profile reader does:
// section and key names without regard to case, blanks around names and
// values dropped, the first matching line wins; fallback when the section or
// the key is missing.
std::string ReadProfileString(std::string_view text, std::string_view section, std::string_view key,
                              std::string_view fallback);

// Fills location from a directory answer, field by field in table order; it
// stops at the first value that is missing ("0.0.0.0" for CURRENT IP) and
// returns false, leaving the later fields as they were.
bool ReadServerLocation(std::string_view iniText, ServerLocation& location);

}  // namespace dialvo
