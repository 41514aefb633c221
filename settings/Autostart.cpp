#include "settings/Autostart.h"

#include <glib.h>
#include <unistd.h>

#include <system_error>
#include <vector>

#include "settings/AtomicFile.h"
#include "settings/SettingsStore.h"

namespace dialvo {

namespace {

std::filesystem::path EntryPath(const std::filesystem::path& dir) {
  return (dir.empty() ? DefaultAutostartDirectory() : dir) / kAutostartFileName;
}

}  // namespace

std::filesystem::path ProgramPath() {
  std::vector<char> buffer(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return {};
  return std::string(buffer.data(), static_cast<size_t>(n));
}

std::string AutostartExec(const std::filesystem::path& program) {
  // Inside double quotes, these four must be escaped with a backslash.
  std::string exec = "\"";
  for (const char c : program.string()) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') exec += '\\';
    exec += c;
  }
  return exec + "\" " + kDontShowWord;
}

bool SetAutoStart(bool on, const std::filesystem::path& program, const std::filesystem::path& dir,
                  std::string* error) {
  const std::filesystem::path path = EntryPath(dir);
  if (!on) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (ec && error) *error = "cannot remove " + path.string() + ": " + ec.message();
    return !ec;
  }
  if (!MakePrivateDirectory(path.parent_path(), error)) return false;
  GKeyFile* file = g_key_file_new();
  const char* group = "Desktop Entry";
  g_key_file_set_string(file, group, "Type", "Application");
  g_key_file_set_string(file, group, "Name", "Orvanta");
  // The key file layer adds its own escaping of backslashes on top.
  g_key_file_set_string(file, group, "Exec", AutostartExec(program).c_str());
  g_key_file_set_string(file, group, "Terminal", "false");
  g_key_file_set_string(file, group, "X-GNOME-Autostart-enabled", "true");
  gsize length = 0;
  gchar* data = g_key_file_to_data(file, &length, nullptr);
  const bool ok = WriteFileAtomically(path, std::string_view(data, length), 0644, error);
  g_free(data);
  g_key_file_free(file);
  return ok;
}

bool IsAutoStartOn(const std::filesystem::path& dir) {
  std::error_code ec;
  return std::filesystem::exists(EntryPath(dir), ec);
}

}  // namespace dialvo
