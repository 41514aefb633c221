#pragma once
// The settings file: one key file per user, read afresh by every reader and
// rewritten atomically (mode 0600, since it holds the stored password) by
// every writer. Nothing is cached, so several modules and threads may keep
// their own store objects on the same directory.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace dialvo {

// Where per-user files live. Each honours an override variable first
// (DIALVO_CONFIG_DIR, DIALVO_CACHE_DIR), then the XDG variable, then the
// XDG default under the home directory.
std::filesystem::path DefaultConfigDirectory();     // .../.config/Orvanta
std::filesystem::path DefaultCacheDirectory();      // .../.cache/Orvanta
std::filesystem::path DefaultAutostartDirectory();  // .../.config/autostart

class SettingsStore {
 public:
  static constexpr const char* kFileName = "dialvo.conf";
  // The group of the program's own values; other groups are per-user lists.
  static constexpr const char* kMainGroup = "Orvanta";

  // Told about a file that cannot be read or parsed (once per distinct
  // problem). Without one, warnings go to standard error.
  using WarningHandler = std::function<void(const std::string& text)>;

  // An empty dir means DefaultConfigDirectory().
  explicit SettingsStore(std::filesystem::path dir = {}, WarningHandler warn = {});

  const std::filesystem::path& Directory() const { return dir_; }
  std::filesystem::path FilePath() const { return dir_ / kFileName; }

  // nullopt when the value is missing or cannot be read as its type.
  std::optional<std::string> ReadText(std::string_view group, std::string_view name) const;
  std::optional<uint32_t> ReadNumber(std::string_view group, std::string_view name) const;

  // Values of the main group with their defaults.
  uint32_t ReadDword(std::string_view name, uint32_t fallback) const;
  std::string ReadString(std::string_view name, std::string_view fallback = {}) const;

  // One change: a number, a text, or removal of the value.
  struct Change {
    std::string group;
    std::string name;
    std::variant<std::monostate, uint32_t, std::string> value;
  };
  // Applies all changes in one atomic rewrite of the file. A file that cannot
  // be parsed is kept beside it as dialvo.conf.corrupt first; a file that
  // exists but cannot be read is left alone and the write fails.
  bool Apply(const std::vector<Change>& changes);
  bool WriteDword(std::string_view name, uint32_t value);
  bool WriteString(std::string_view name, std::string_view value);
  bool DeleteValue(std::string_view name);

 private:
  struct Loaded;
  Loaded Load() const;
  void Warn(const std::string& text) const;

  std::filesystem::path dir_;
  WarningHandler warn_;
  mutable std::mutex warnedMutex_;  // guards warned_; taken by any thread that reads or writes
  mutable std::set<std::string> warned_;
};

}  // namespace dialvo
