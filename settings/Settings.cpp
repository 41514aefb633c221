#include "settings/Settings.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <system_error>

namespace dialvo {

namespace {

struct DwordEntry {
  const char* name;
  uint32_t fallback;
};

constexpr DwordEntry kDwordDefaults[] = {
    {keys::kRingTime, kDefaultRingTime},
    {keys::kAutoMMSettings, 1},
    {keys::kPopupBuddyJoinLeave, 1},
    {keys::kPopupNetworkCongestion, 1},
    {keys::kPopupBuddyOnline, 1},
    {keys::kDontShowDlgOnMinimize, 0},
    {keys::kUseHttpProxy, 0},
    {keys::kHttpProxyPort, 80},
    {keys::kUseAlternateListeningPort, 0},
    {keys::kListeningPort, kDefaultListeningPort},
    {keys::kIPType, 0},
    {keys::kAutoLogin, 0},
};

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

uint32_t DwordDefault(std::string_view name) {
  for (const auto& entry : kDwordDefaults) {
    if (name == entry.name) return entry.fallback;
  }
  return 0;
}

uint32_t ReadDword(const SettingsStore& store, std::string_view name) {
  return store.ReadDword(name, DwordDefault(name));
}

std::vector<std::string> SplitWords(std::string_view text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsSpace(text[i])) ++i;
    const size_t start = i;
    while (i < text.size() && !IsSpace(text[i])) ++i;
    if (i > start) words.emplace_back(text.substr(start, i - start));
  }
  return words;
}

std::string TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return std::string(text);
}

NetworkSettings LoadNetworkSettings(const SettingsStore& store) {
  NetworkSettings s;
  s.httpProxyName = store.ReadString(keys::kHttpProxyName);
  s.useHttpProxy = ReadDword(store, keys::kUseHttpProxy);
  s.configuredIp = store.ReadString(keys::kConfiguredIP);
  s.useAlternateListeningPort = ReadDword(store, keys::kUseAlternateListeningPort);
  s.listeningPort = ReadDword(store, keys::kListeningPort);
  s.ipType = ReadDword(store, keys::kIPType);
  s.httpProxyPort = ReadDword(store, keys::kHttpProxyPort);
  return s;
}

bool SaveNetworkSettings(SettingsStore& store, const NetworkSettings& s) {
  const std::string g = SettingsStore::kMainGroup;
  return store.Apply({
      {g, keys::kUseHttpProxy, s.useHttpProxy},
      {g, keys::kHttpProxyName, s.httpProxyName},
      {g, keys::kHttpProxyPort, s.httpProxyPort},
      {g, keys::kUseAlternateListeningPort, s.useAlternateListeningPort},
      {g, keys::kListeningPort, s.listeningPort},
      {g, keys::kIPType, s.ipType},
      {g, keys::kConfiguredIP, s.configuredIp},
  });
}

uint32_t ReadRingTime(const SettingsStore& store) {
  return std::clamp(ReadDword(store, keys::kRingTime), kMinimumRingTime, kMaximumRingTime);
}

uint32_t NormaliseRingTime(SettingsStore& store) {
  const auto stored = store.ReadNumber(SettingsStore::kMainGroup, keys::kRingTime);
  if (!stored) return kDefaultRingTime;
  const uint32_t held = std::clamp(*stored, kMinimumRingTime, kMaximumRingTime);
  if (held != *stored) store.WriteDword(keys::kRingTime, held);
  return held;
}

std::optional<std::filesystem::path> PrepareRecordingsDirectory(const SettingsStore& store,
                                                                std::string* error) {
  std::string dir = TrimBlanks(store.ReadString(keys::kRecordingsDirectory));
  if (dir.empty()) return std::nullopt;
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec && error) *error = "cannot create the recordings directory " + dir + ": " + ec.message();
  return std::filesystem::path(dir);
}

std::vector<std::string> LoadIpList(const SettingsStore& store) {
  return SplitWords(store.ReadString(keys::kIPList));
}

bool SaveIpList(SettingsStore& store, const std::vector<std::string>& entries) {
  std::string text;
  for (size_t i = 0; i < entries.size() && i < kIpListEntries; ++i) text += entries[i] + " ";
  return store.WriteString(keys::kIPList, text);
}

std::string BuddyListGroup(std::string_view user) {
  std::string group = "BuddyList/";
  for (const char raw : user) {
    const auto c = static_cast<unsigned char>(raw);
    if (std::isalnum(c) || c == '.' || c == '_' || c == '-' || c == '@') {
      group += static_cast<char>(std::tolower(c));
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      group += hex;
    }
  }
  return group;
}

std::vector<std::string> LoadBuddyList(const SettingsStore& store, std::string_view user) {
  return SplitWords(store.ReadText(BuddyListGroup(user), keys::kBuddyList).value_or(""));
}

bool SaveBuddyList(SettingsStore& store, std::string_view user,
                   const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) text += name + " ";
  return store.Apply({{BuddyListGroup(user), keys::kBuddyList, text}});
}

StoredLogin LoadStoredLogin(const SettingsStore& store) {
  StoredLogin login;
  login.autoLogin = ReadDword(store, keys::kAutoLogin);
  login.user = store.ReadString(keys::kUser);
  login.password = store.ReadString(keys::kPass);
  return login;
}

bool SaveAutoLogin(SettingsStore& store, bool on) {
  const std::string g = SettingsStore::kMainGroup;
  if (on) return store.WriteDword(keys::kAutoLogin, 1);
  return store.Apply({{g, keys::kAutoLogin, uint32_t{0}},
                      {g, keys::kUser, std::string()},
                      {g, keys::kPass, std::string()}});
}

bool StoreLoginCredentials(SettingsStore& store, std::string_view user, std::string_view password) {
  const bool keep = ReadDword(store, keys::kAutoLogin) != 0;
  const std::string g = SettingsStore::kMainGroup;
  return store.Apply({{g, keys::kUser, keep ? std::string(user) : std::string()},
                      {g, keys::kPass, keep ? std::string(password) : std::string()}});
}

std::string DirectoryHost(const SettingsStore& store) {
  std::string host = TrimBlanks(store.ReadString(keys::kDirectoryHost));
  return host.empty() ? kDefaultDirectoryHost : host;
}

}  // namespace dialvo
