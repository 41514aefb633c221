#include "settings/SettingsStore.h"

#include <fcntl.h>
#include <glib.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "settings/AtomicFile.h"

namespace dialvo {

namespace {

std::filesystem::path HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/tmp";
}

std::filesystem::path FromEnvironment(const char* overrideVar, const char* xdgVar,
                                      const char* xdgDefault, const char* leaf) {
  if (const char* dir = std::getenv(overrideVar); dir && *dir) return dir;
  std::filesystem::path base;
  // The XDG rules ignore relative values.
  if (const char* xdg = std::getenv(xdgVar); xdg && *xdg == '/') {
    base = xdg;
  } else {
    base = HomeDirectory() / xdgDefault;
  }
  return base / leaf;
}

// 0 with the file's bytes in data, or the errno of the failure.
int ReadWholeFile(const std::filesystem::path& path, std::string& data) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buffer[8192];
  int err = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      data.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      err = errno;
      break;
    }
  }
  ::close(fd);
  return err;
}

// Undoes the key file escapes for a value that is not valid UTF-8 (which the
// library refuses to return as a string).
std::string UnescapeValue(std::string_view raw) {
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\' || i + 1 == raw.size()) {
      out += raw[i];
      continue;
    }
    switch (raw[++i]) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      default:
        out += raw[i];
        break;
    }
  }
  return out;
}

struct KeyFileDeleter {
  void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFilePtr = std::unique_ptr<GKeyFile, KeyFileDeleter>;

KeyFilePtr NewKeyFile() { return KeyFilePtr(g_key_file_new()); }

std::string TakeGError(GError* error) {
  std::string text = error && error->message ? error->message : "unknown error";
  if (error) g_error_free(error);
  return text;
}

std::optional<uint32_t> ParseDword(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  uint32_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

// Serialises writers of one process; the lock file serialises processes.
std::mutex& WriterMutex() {
  static std::mutex mutex;  // guards every read-modify-write of a settings file; any thread
  return mutex;
}

class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& path)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_;
};

}  // namespace

std::filesystem::path DefaultConfigDirectory() {
  return FromEnvironment("DIALVO_CONFIG_DIR", "XDG_CONFIG_HOME", ".config", "Orvanta");
}

std::filesystem::path DefaultCacheDirectory() {
  return FromEnvironment("DIALVO_CACHE_DIR", "XDG_CACHE_HOME", ".cache", "Orvanta");
}

std::filesystem::path DefaultAutostartDirectory() {
  return FromEnvironment("DIALVO_AUTOSTART_DIR", "XDG_CONFIG_HOME", ".config", "autostart");
}

// The parsed file, or why there is none.
struct SettingsStore::Loaded {
  enum class Status { kOk, kMissing, kUnreadable, kCorrupt };
  Status status = Status::kMissing;
  KeyFilePtr file = NewKeyFile();
};

SettingsStore::SettingsStore(std::filesystem::path dir, WarningHandler warn)
    : dir_(dir.empty() ? DefaultConfigDirectory() : std::move(dir)), warn_(std::move(warn)) {}

void SettingsStore::Warn(const std::string& text) const {
  {
    std::lock_guard lock(warnedMutex_);
    if (!warned_.insert(text).second) return;
  }
  if (warn_) {
    warn_(text);
  } else {
    std::fprintf(stderr, "dialvo: warning: %s\n", text.c_str());
  }
}

SettingsStore::Loaded SettingsStore::Load() const {
  Loaded loaded;
  const std::filesystem::path path = FilePath();
  std::string data;
  if (const int err = ReadWholeFile(path, data); err != 0) {
    if (err == ENOENT) return loaded;
    loaded.status = Loaded::Status::kUnreadable;
    Warn("cannot read the settings file " + path.string() + " (" + std::strerror(err) +
         "); using the defaults");
    return loaded;
  }
  GError* error = nullptr;
  if (!g_key_file_load_from_data(loaded.file.get(), data.data(), data.size(),
                                 G_KEY_FILE_KEEP_COMMENTS, &error)) {
    loaded.file = NewKeyFile();
    loaded.status = Loaded::Status::kCorrupt;
    Warn("the settings file " + path.string() + " is damaged (" + TakeGError(error) +
         "); using the defaults");
    return loaded;
  }
  loaded.status = Loaded::Status::kOk;
  return loaded;
}

std::optional<std::string> SettingsStore::ReadText(std::string_view group,
                                                   std::string_view name) const {
  Loaded loaded = Load();
  const std::string g(group), n(name);
  GError* error = nullptr;
  gchar* value = g_key_file_get_string(loaded.file.get(), g.c_str(), n.c_str(), &error);
  if (!value) {
    const bool badEncoding = error && error->domain == G_KEY_FILE_ERROR &&
                             error->code == G_KEY_FILE_ERROR_UNKNOWN_ENCODING;
    if (error) g_error_free(error);
    if (!badEncoding) return std::nullopt;
    gchar* raw = g_key_file_get_value(loaded.file.get(), g.c_str(), n.c_str(), nullptr);
    if (!raw) return std::nullopt;
    std::string result = UnescapeValue(raw);
    g_free(raw);
    return result;
  }
  std::string result(value);
  g_free(value);
  return result;
}

std::optional<uint32_t> SettingsStore::ReadNumber(std::string_view group,
                                                  std::string_view name) const {
  Loaded loaded = Load();
  const std::string g(group), n(name);
  gchar* value = g_key_file_get_value(loaded.file.get(), g.c_str(), n.c_str(), nullptr);
  if (!value) return std::nullopt;
  auto number = ParseDword(value);
  g_free(value);
  return number;
}

uint32_t SettingsStore::ReadDword(std::string_view name, uint32_t fallback) const {
  return ReadNumber(kMainGroup, name).value_or(fallback);
}

std::string SettingsStore::ReadString(std::string_view name, std::string_view fallback) const {
  auto text = ReadText(kMainGroup, name);
  return text ? *text : std::string(fallback);
}

bool SettingsStore::Apply(const std::vector<Change>& changes) {
  std::string error;
  if (!MakePrivateDirectory(dir_, &error)) {
    Warn("cannot save settings: " + error);
    return false;
  }
  std::lock_guard processLock(WriterMutex());
  FileLock fileLock(dir_ / (std::string(".") + kFileName + ".lock"));

  Loaded loaded = Load();
  if (loaded.status == Loaded::Status::kUnreadable) return false;
  if (loaded.status == Loaded::Status::kCorrupt) {
    const std::filesystem::path aside = FilePath().string() + ".corrupt";
    std::error_code ec;
    std::filesystem::rename(FilePath(), aside, ec);
    if (ec) {
      Warn("cannot keep the damaged settings file as " + aside.string() + ": " + ec.message());
      return false;
    }
    Warn("the damaged settings file was kept as " + aside.string());
  }
  GKeyFile* file = loaded.file.get();
  for (const Change& change : changes) {
    const char* g = change.group.c_str();
    const char* n = change.name.c_str();
    if (const auto* number = std::get_if<uint32_t>(&change.value)) {
      g_key_file_set_value(file, g, n, std::to_string(*number).c_str());
    } else if (const auto* text = std::get_if<std::string>(&change.value)) {
      g_key_file_set_string(file, g, n, text->c_str());
    } else {
      g_key_file_remove_key(file, g, n, nullptr);
    }
  }
  gsize length = 0;
  gchar* data = g_key_file_to_data(file, &length, nullptr);
  const bool ok = WriteFileAtomically(FilePath(), std::string_view(data, length), 0600, &error);
  g_free(data);
  if (!ok) Warn("cannot save settings: " + error);
  return ok;
}

bool SettingsStore::WriteDword(std::string_view name, uint32_t value) {
  return Apply({{kMainGroup, std::string(name), value}});
}

bool SettingsStore::WriteString(std::string_view name, std::string_view value) {
  return Apply({{kMainGroup, std::string(name), std::string(value)}});
}

bool SettingsStore::DeleteValue(std::string_view name) {
  return Apply({{kMainGroup, std::string(name), std::monostate{}}});
}

}  // namespace dialvo
