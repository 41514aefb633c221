#include "settings/FreeSpace.h"

#include <sys/statvfs.h>

#include <system_error>

namespace dialvo {

std::optional<uint64_t> AvailableSpace(const std::filesystem::path& path) {
  struct statvfs fs {};
  if (::statvfs(path.c_str(), &fs) != 0) return std::nullopt;
  // f_bavail, not f_bfree: the blocks kept for root are no use to the user.
  return static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
}

std::filesystem::path NearestExistingFolder(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path probe = path.is_absolute() ? path : std::filesystem::absolute(path, ec);
  if (ec) probe = path;
  probe = probe.lexically_normal();
  while (!probe.empty()) {
    if (std::filesystem::exists(probe, ec)) return probe;
    const std::filesystem::path parent = probe.parent_path();
    if (parent == probe) break;
    probe = parent;
  }
  return probe;
}

}  // namespace dialvo
