#include "cli/ConfigCommand.h"

#include <sys/types.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/wire/Message.h"
#include "service/ServiceAddress.h"
#include "service/Text.h"
#include "settings/Settings.h"
#include "settings/SettingsStore.h"

namespace dialvo::cli {

namespace {

constexpr const char* kConfigUsage =
    "Usage: dialvo-cli [--config DIR] config get KEY\n"
    "       dialvo-cli [--config DIR] config set KEY VALUE\n"
    "       dialvo-cli [--config DIR] config unset KEY\n"
    "Reads or writes one value of the group [Orvanta] in DIR/dialvo.conf (default\n"
    "$DIALVO_CONFIG_DIR, else $XDG_CONFIG_HOME/Orvanta). KEY is a setting's name in any\n"
    "case. get prints the stored value, or nothing with status 1 when it is not set\n"
    "(the program then uses its default). set with VALUE '-' reads the value from the\n"
    "first line of standard input, which keeps a password out of the process list;\n"
    "a VALUE that begins with -- follows a --.\n"
    "Numbers: RingTime, AutoMMSettings, PopupBuddyJoinLeave, PopupNetworkCongestion,\n"
    "PopupBuddyOnline, DontShowDlgOnMinimize, UseHttpProxy, HttpProxyPort,\n"
    "UseAlternateListeningPort, ListeningPort, IPType, AutoLogin.\n"
    "Texts: RecordingsDirectory, IPList, HttpProxyName, ConfiguredIP, User, Pass,\n"
    "DirectoryHost, SupportEmail.\n"
    "Bad arguments or a value the setting cannot take exit with status 2.\n";

// A setting the command knows: texts have no range (max 0).
struct Key {
  const char* name;
  uint32_t min = 0;
  uint32_t max = 0;
  bool IsNumber() const { return max != 0; }
};

constexpr uint32_t kFlag = 1;
constexpr uint32_t kPort = 65535;

const Key kKeys[] = {
    {keys::kRingTime, 0, 86400},
    {keys::kAutoMMSettings, 0, kFlag},
    {keys::kPopupBuddyJoinLeave, 0, kFlag},
    {keys::kPopupNetworkCongestion, 0, kFlag},
    {keys::kPopupBuddyOnline, 0, kFlag},
    {keys::kDontShowDlgOnMinimize, 0, kFlag},
    {keys::kUseHttpProxy, 0, kFlag},
    {keys::kHttpProxyPort, 1, kPort},
    {keys::kUseAlternateListeningPort, 0, kFlag},
    {keys::kListeningPort, 1, kPort},
    {keys::kIPType, 0, 4},
    {keys::kAutoLogin, 0, kFlag},
    {keys::kRecordingsDirectory},
    {keys::kIPList},
    {keys::kHttpProxyName},
    {keys::kConfiguredIP},
    {keys::kUser},
    {keys::kPass},
    {keys::kDirectoryHost},
    {keys::kSupportEmail},
};

const Key* FindKey(std::string_view name) {
  for (const Key& key : kKeys) {
    if (EqualsNoCase(name, key.name)) return &key;
  }
  return nullptr;
}

struct Request {
  std::string configDir;
  std::vector<std::string> words;  // after "config"
  bool help = false;
};

// The arguments split into --config and the words; the error, or empty.
std::string Split(std::span<const char* const> args, Request& request) {
  bool seenCommand = false;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg == "--help") {
      request.help = true;
    } else if (!optionsEnded && (arg == "--config" || arg.starts_with("--config="))) {
      if (arg == "--config") {
        if (i + 1 == args.size()) return "--config needs a directory";
        request.configDir = args[++i];
      } else {
        request.configDir = arg.substr(std::string_view("--config=").size());
      }
      if (request.configDir.empty()) return "--config needs a directory";
    } else if (!optionsEnded && arg.starts_with("--")) {
      return "config: unknown option '" + std::string(arg) + "'";
    } else if (!seenCommand) {
      seenCommand = true;  // the word "config" itself
    } else {
      request.words.emplace_back(arg);
    }
  }
  return {};
}

std::optional<uint32_t> ParseNumber(std::string_view text) {
  uint32_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// The first line of in, without its line end; nullopt when there is none.
std::optional<std::string> FirstLine(std::FILE* in) {
  char* line = nullptr;
  size_t capacity = 0;
  const ssize_t length = getline(&line, &capacity, in);
  std::optional<std::string> result;
  if (length >= 0) result.emplace(line, static_cast<size_t>(length));
  std::free(line);
  while (result && !result->empty() && (result->back() == '\n' || result->back() == '\r')) {
    result->pop_back();
  }
  return result;
}

// Why value does not suit key, or empty.
std::string CheckValue(const Key& key, const std::string& value) {
  const std::string name = key.name;
  if (key.IsNumber()) {
    const std::optional<uint32_t> number = ParseNumber(value);
    if (!number || *number < key.min || *number > key.max) {
      return name + " takes a number from " + std::to_string(key.min) + " to " +
             std::to_string(key.max) + ", not '" + value + "'";
    }
    return {};
  }
  if (name == keys::kDirectoryHost && !value.empty()) {
    const ServiceHost host = ParseServiceHost(value);
    if (host.host.empty() || host.port == 0) {
      return name + ": '" + value + "' is not HOST[:PORT] or an http(s) address";
    }
  }
  if (name == keys::kUser && value.size() >= wire::kTextField) {
    return name + ": a user name has at most 63 characters";
  }
  return {};
}

int Usage(std::FILE* err, const std::string& problem) {
  std::fprintf(err, "dialvo-cli: %s (see dialvo-cli config --help)\n", problem.c_str());
  return 2;
}

}  // namespace

const char* ConfigUsageText() { return kConfigUsage; }

bool IsConfigCommand(std::span<const char* const> args) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--config") {
      ++i;
    } else if (!arg.starts_with("--config=")) {
      return arg == "config";
    }
  }
  return false;
}

int RunConfigCommand(std::span<const char* const> args, std::FILE* in, std::FILE* out,
                     std::FILE* err) {
  Request request;
  if (std::string problem = Split(args, request); !problem.empty()) return Usage(err, problem);
  if (request.help) {
    std::fputs(kConfigUsage, out);
    return 0;
  }
  const std::vector<std::string>& words = request.words;
  if (words.empty()) return Usage(err, "config needs get, set or unset");
  const std::string& verb = words[0];
  const size_t wanted = verb == "set" ? 3 : 2;
  if (verb != "get" && verb != "set" && verb != "unset") {
    return Usage(err, "config: unknown command '" + verb + "' (get, set or unset)");
  }
  if (words.size() != wanted) {
    return Usage(err, "config " + verb + (verb == "set" ? " needs KEY VALUE" : " needs one KEY"));
  }
  const Key* key = FindKey(words[1]);
  if (key == nullptr) return Usage(err, "config: unknown setting '" + words[1] + "'");

  SettingsStore store(request.configDir, [err](const std::string& text) {
    std::fprintf(err, "dialvo-cli: %s\n", text.c_str());
  });
  if (verb == "get") {
    const std::optional<std::string> value = store.ReadText(SettingsStore::kMainGroup, key->name);
    if (!value) return 1;
    std::fprintf(out, "%s\n", value->c_str());
    return 0;
  }
  if (verb == "unset") return store.DeleteValue(key->name) ? 0 : 1;

  std::string value = words[2];
  if (value == "-") {
    std::optional<std::string> line = FirstLine(in);
    if (!line) return Usage(err, "config set " + std::string(key->name) + " -: no line on stdin");
    value = std::move(*line);
  }
  if (std::string problem = CheckValue(*key, value); !problem.empty()) {
    return Usage(err, "config set: " + problem);
  }
  const bool written = key->IsNumber() ? store.WriteDword(key->name, *ParseNumber(value))
                                       : store.WriteString(key->name, value);
  return written ? 0 : 1;
}

}  // namespace dialvo::cli
