#include "service/ServiceAddress.h"

#include <cctype>
#include <charconv>

#include "service/Text.h"

namespace dialvo {

namespace {

// Bytes allowed as they are in a URL path (RFC 3986 pchar and "/").
bool PathSafe(unsigned char c) {
  if (std::isalnum(c)) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
    case '/':
      return true;
    default:
      return false;
  }
}

}  // namespace

ServiceHost ParseServiceHost(std::string_view text) {
  text = TrimSpace(text);
  ServiceHost result;
  std::string scheme = "http";
  if (StartsWithNoCase(text, "https://")) {
    scheme = "https";
    result.port = 443;
    text.remove_prefix(8);
  } else if (StartsWithNoCase(text, "http://")) {
    text.remove_prefix(7);
  }
  std::string_view authority = text.substr(0, text.find('/'));
  std::string_view prefix = text.substr(authority.size());
  while (!prefix.empty() && prefix.back() == '/') prefix.remove_suffix(1);
  std::string_view host = authority;
  if (const size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    const std::string_view portText = authority.substr(colon + 1);
    unsigned port = 0;
    auto [ptr, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    const bool valid =
        ec == std::errc() && ptr == portText.data() + portText.size() && port > 0 && port <= 65535;
    result.port = valid ? static_cast<uint16_t>(port) : 0;
  }
  result.host = std::string(host);
  result.baseUrl = scheme + "://" + std::string(authority) + std::string(prefix);
  return result;
}

std::string RequestUrl(std::string_view host, std::string_view objectPath) {
  std::string url = ParseServiceHost(host).baseUrl;
  if (objectPath.empty() || objectPath.front() != '/') url += '/';
  return url + PercentEncode(objectPath, PathSafe);
}

std::string CommandHost(std::string_view directoryHost, std::string_view currentIp) {
  currentIp = TrimSpace(currentIp);
  if (!StartsWithNoCase(TrimSpace(directoryHost), "https://") ||
      StartsWithNoCase(currentIp, "https://")) {
    return std::string(currentIp);
  }
  if (StartsWithNoCase(currentIp, "http://")) currentIp.remove_prefix(7);
  return "https://" + std::string(currentIp);
}

std::string ServerLocation::ObjectPath(std::string_view script) const {
  return path + "\\" + std::string(script);
}

std::string ReadProfileString(std::string_view text, std::string_view section, std::string_view key,
                              std::string_view fallback) {
  bool inSection = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = TrimSpace(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      inSection = close != std::string_view::npos &&
                  EqualsNoCase(TrimSpace(line.substr(1, close - 1)), section);
      continue;
    }
    if (!inSection) continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos || !EqualsNoCase(TrimSpace(line.substr(0, eq)), key)) continue;
    std::string_view value = TrimSpace(line.substr(eq + 1));
    // A value in matching quotes loses them.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
  }
  return std::string(fallback);
}

bool ReadServerLocation(std::string_view iniText, ServerLocation& location) {
  static constexpr const char* kSection = "DIALVO";
  const std::string current = ReadProfileString(iniText, kSection, "CURRENT IP", "0.0.0.0");
  if (current == "0.0.0.0") return false;
  location.currentIp = current;
  struct Field {
    const char* key;
    std::string ServerLocation::*member;
  };
  static constexpr Field kFields[] = {
      {"PATH", &ServerLocation::path},
      {"logmein_file", &ServerLocation::logmeinFile},
      {"logmeoff_file", &ServerLocation::logmeoffFile},
      {"iamup_file", &ServerLocation::iamupFile},
      {"syncblist_file", &ServerLocation::syncblistFile},
      {"getuserlist_file", &ServerLocation::getuserlistFile},
      {"iamtalking_file", &ServerLocation::iamtalkingFile},
      {"fwtest_file", &ServerLocation::fwtestFile},
  };
  for (const auto& field : kFields) {
    std::string value = ReadProfileString(iniText, kSection, field.key, "");
    if (value.empty()) return false;
    location.*field.member = std::move(value);
  }
  return true;
}

}  // namespace dialvo
