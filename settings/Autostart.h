#pragma once
// Starting with the desktop session: an XDG autostart entry that runs the
// program hidden. The entry exists exactly while the option is on.
#include <filesystem>
#include <string>

namespace dialvo {

inline constexpr const char* kAutostartFileName = "Orvanta.desktop";
// The one command-line word: start hidden in the tray.
inline constexpr const char* kDontShowWord = "DontShow";

// The running program's full path (empty when it cannot be had).
std::filesystem::path ProgramPath();

// The Exec line of the entry: the program path, quoted as desktop entries
// require, one space and "DontShow".
std::string AutostartExec(const std::filesystem::path& program);

// Writes the entry (on) or removes it (off). An empty dir means
// DefaultAutostartDirectory().
bool SetAutoStart(bool on, const std::filesystem::path& program,
                  const std::filesystem::path& dir = {}, std::string* error = nullptr);
// Whether the entry is present; its content is not examined.
bool IsAutoStartOn(const std::filesystem::path& dir = {});

}  // namespace dialvo
