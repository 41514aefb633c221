#pragma once
// The program's settings: names, defaults and the few rules that go with
// them. Every reader asks the store afresh; nothing is cached.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/SettingsStore.h"

namespace dialvo {

namespace keys {
inline constexpr const char* kRingTime = "RingTime";
inline constexpr const char* kAutoMMSettings = "AutoMMSettings";
inline constexpr const char* kRecordingsDirectory = "RecordingsDirectory";
inline constexpr const char* kPopupBuddyJoinLeave = "PopupBuddyJoinLeave";
inline constexpr const char* kPopupNetworkCongestion = "PopupNetworkCongestion";
inline constexpr const char* kPopupBuddyOnline = "PopupBuddyOnline";
inline constexpr const char* kDontShowDlgOnMinimize = "DontShowDlgOnMinimize";
inline constexpr const char* kIPList = "IPList";
inline constexpr const char* kUseHttpProxy = "UseHttpProxy";
inline constexpr const char* kHttpProxyName = "HttpProxyName";
inline constexpr const char* kHttpProxyPort = "HttpProxyPort";
inline constexpr const char* kUseAlternateListeningPort = "UseAlternateListeningPort";
inline constexpr const char* kListeningPort = "ListeningPort";
inline constexpr const char* kIPType = "IPType";
inline constexpr const char* kConfiguredIP = "ConfiguredIP";
inline constexpr const char* kAutoLogin = "AutoLogin";
inline constexpr const char* kUser = "User";
inline constexpr const char* kPass = "Pass";
// Deployment values: where the service's directory script and web pages
// live ("host[:port]" or an http/https address), and whom to write to when
// the service stays busy.
inline constexpr const char* kDirectoryHost = "DirectoryHost";
inline constexpr const char* kSupportEmail = "SupportEmail";
// The per-user buddy list: group "BuddyList/<user>", value "BuddyList".
inline constexpr const char* kBuddyList = "BuddyList";
}  // namespace keys

inline constexpr uint32_t kDefaultListeningPort = 1720;
inline constexpr uint32_t kDefaultRingTime = 10;
inline constexpr uint32_t kMinimumRingTime = 5;
// A caller gives up after about 27 s: a longer ring could accept one who
// has gone.
inline constexpr uint32_t kMaximumRingTime = 25;
inline constexpr const char* kDefaultDirectoryHost = "localhost";
inline constexpr const char* kDefaultSupportEmail = "support@localhost";
inline constexpr size_t kIpListEntries = 10;

// The default of each numeric value of the main group (0 for unknown names).
uint32_t DwordDefault(std::string_view name);
// Reads a numeric value of the main group with its own default.
uint32_t ReadDword(const SettingsStore& store, std::string_view name);

// The seven network values, loaded and saved as a unit, in this order.
struct NetworkSettings {
  std::string httpProxyName{};
  uint32_t useHttpProxy = 0;
  std::string configuredIp{};
  uint32_t useAlternateListeningPort = 0;
  uint32_t listeningPort = kDefaultListeningPort;
  uint32_t ipType = 0;  // 0 to 4: how the PC is connected to the internet
  uint32_t httpProxyPort = 80;

  // The port the voice engine listens on.
  uint32_t EffectiveListeningPort() const {
    return useAlternateListeningPort != 0 ? listeningPort : kDefaultListeningPort;
  }
  friend bool operator==(const NetworkSettings&, const NetworkSettings&) = default;
};

NetworkSettings LoadNetworkSettings(const SettingsStore& store);
bool SaveNetworkSettings(SettingsStore& store, const NetworkSettings& settings);

// The ring time as the incoming-call handling uses it (missing: 10), held
// between the minimum and the maximum.
uint32_t ReadRingTime(const SettingsStore& store);
// The ring time as the settings page shows it: outside the range it becomes
// the nearest limit and is written back at once.
uint32_t NormaliseRingTime(SettingsStore& store);

// Trims the stored recordings directory and creates it with its missing
// parents. nullopt when none is set; error says why one could not be made.
std::optional<std::filesystem::path> PrepareRecordingsDirectory(const SettingsStore& store,
                                                                std::string* error = nullptr);

// History of addresses called by address, oldest use first; only the first
// entries are stored.
std::vector<std::string> LoadIpList(const SettingsStore& store);
bool SaveIpList(SettingsStore& store, const std::vector<std::string>& entries);

// The local copy of one user's buddy list, in list order.
std::vector<std::string> LoadBuddyList(const SettingsStore& store, std::string_view user);
bool SaveBuddyList(SettingsStore& store, std::string_view user,
                   const std::vector<std::string>& names);
// Group of a user's buddy list: names match without regard to case, and
// bytes a group name cannot hold are written as %XX.
std::string BuddyListGroup(std::string_view user);

// The stored login: the auto-login flag and, while it is set, the name and
// password. Turning it off forgets both.
struct StoredLogin {
  uint32_t autoLogin = 0;
  std::string user;
  std::string password;
};
StoredLogin LoadStoredLogin(const SettingsStore& store);
bool SaveAutoLogin(SettingsStore& store, bool on);
// After a successful login: keeps name and password when auto-login is on,
// otherwise stores both empty.
bool StoreLoginCredentials(SettingsStore& store, std::string_view user, std::string_view password);

// The directory host, "host[:port]" or an http/https address.
std::string DirectoryHost(const SettingsStore& store);

// Splits text at white space.
std::vector<std::string> SplitWords(std::string_view text);
// Text without blanks (spaces and tabs) at either end.
std::string TrimBlanks(std::string_view text);

}  // namespace dialvo
