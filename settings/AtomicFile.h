#pragma once
// Whole-file writes that a crash or a concurrent reader never sees half done.
#include <filesystem>
#include <string>
#include <string_view>

namespace dialvo {

// Writes data to a temporary file beside path with the given mode, flushes it
// to disk and renames it over path. On failure path is untouched and error
// (when given) names what went wrong.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view data,
                         unsigned mode = 0600, std::string* error = nullptr);

// Creates dir and its missing parents with mode 0700 (for folders that hold
// credentials). False with error set when it cannot be made.
bool MakePrivateDirectory(const std::filesystem::path& dir, std::string* error = nullptr);

}  // namespace dialvo
