#pragma once
// How much room a folder has for recordings: the space the filesystem
// holding it leaves to this user.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

namespace dialvo {

// A recordings directory needs this much room (100 MB).
inline constexpr uint64_t kMinimumRecordingSpace = 100ull * 1024 * 1024;

// Bytes available to an unprivileged user on the filesystem holding path,
// in 64 bits; nullopt when the system cannot tell.
std::optional<uint64_t> AvailableSpace(const std::filesystem::path& path);

// path itself when it exists, else its nearest existing ancestor (a folder
// that is still to be made lives on its parent's filesystem). A relative
// path counts from the current directory.
std::filesystem::path NearestExistingFolder(const std::filesystem::path& path);

using SpaceProbe = std::function<std::optional<uint64_t>(const std::filesystem::path&)>;

}  // namespace dialvo
