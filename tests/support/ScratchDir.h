#pragma once
// A fresh directory of a test's own, removed with everything in it when the
// object goes.
#include <string>

namespace dialvo::test {

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Empty when the directory could not be made.
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole of a file, byte for byte; empty when it cannot be read.
std::string ReadFile(const std::string& path);

}  // namespace dialvo::test
