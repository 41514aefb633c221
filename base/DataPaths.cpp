#include "base/DataPaths.h"

#include <system_error>

namespace dialvo {

namespace {

#ifndef DIALVO_INSTALL_DATADIR
#define DIALVO_INSTALL_DATADIR "/usr/local/share/orvanta-dialvo"
#endif

}  // namespace

std::filesystem::path ProgramDirectory() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe.parent_path();
}

std::vector<std::filesystem::path> DataCandidates(const std::filesystem::path& programDir,
                                                  const std::string& sub) {
  std::vector<std::filesystem::path> out;
  if (!programDir.empty()) {
    out.push_back(programDir / sub);
    out.push_back((programDir / ".." / "share" / "orvanta-dialvo" / sub).lexically_normal());
  }
  out.push_back(std::filesystem::path(DIALVO_INSTALL_DATADIR) / sub);
  return out;
}

std::filesystem::path FindDataDirectory(const std::string& sub) {
  const auto candidates = DataCandidates(ProgramDirectory(), sub);
  std::error_code ec;
  for (const auto& candidate : candidates) {
    if (std::filesystem::is_directory(candidate, ec)) return candidate;
  }
  return candidates.front();
}

}  // namespace dialvo
