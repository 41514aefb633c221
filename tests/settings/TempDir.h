#pragma once
// A private temporary folder per test, removed with everything in it.
#include <filesystem>
#include <string>

#include "tests/support/ScratchDir.h"

namespace dialvo::test {

class TempDir {
 public:
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& leaf) const { return path_ / leaf; }

 private:
  ScratchDir dir_;
  std::filesystem::path path_{dir_.Path()};
};

}  // namespace dialvo::test
