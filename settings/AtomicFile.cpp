#include "settings/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace dialvo {

namespace {

void SetError(std::string* error, const std::string& what, int err) {
  if (error) *error = what + ": " + std::strerror(err);
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Makes the rename itself durable.
void SyncDirectory(const std::filesystem::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view data, unsigned mode,
                         std::string* error) {
  const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : ".";
  // Appended piece by piece: "." + name puts the name in front of a short
  // string, a copy GCC 12 at -O3 wrongly flags as overlapping (-Wrestrict).
  std::string hidden = ".";
  hidden.append(path.filename().string()).append(".XXXXXX");
  std::string pattern = (dir / hidden).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    SetError(error, "cannot create a temporary file in " + dir.string(), errno);
    return false;
  }
  const std::string tempPath(name.data());
  bool ok = ::fchmod(fd, mode) == 0;
  int err = ok ? 0 : errno;
  if (ok && !WriteAll(fd, data)) {
    ok = false;
    err = errno;
  }
  if (ok && ::fsync(fd) != 0) {
    ok = false;
    err = errno;
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(tempPath.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(tempPath.c_str());
    SetError(error, "cannot write " + path.string(), err);
    return false;
  }
  SyncDirectory(dir);
  return true;
}

bool MakePrivateDirectory(const std::filesystem::path& dir, std::string* error) {
  std::error_code ec;
  if (std::filesystem::is_directory(dir, ec)) return true;
  std::filesystem::path partial;
  for (const auto& part : dir) {
    partial /= part;
    if (std::filesystem::is_directory(partial, ec)) continue;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      SetError(error, "cannot create " + partial.string(), errno);
      return false;
    }
  }
  if (!std::filesystem::is_directory(dir, ec)) {
    SetError(error, "cannot create " + dir.string(), ENOTDIR);
    return false;
  }
  return true;
}

}  // namespace dialvo
