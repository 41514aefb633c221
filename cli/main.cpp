// dialvo-cli: the headless client.
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kUsage =
    "Usage: dialvo-cli [options]\n"
    "Orvanta Dialvo headless voice client.\n"
    "\n"
    "  --help      show this text\n"
    "  --version   show the version\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("dialvo-cli 0.1.0");
      return 0;
    }
    std::fprintf(stderr, "dialvo-cli: unknown option '%s' (see --help)\n", argv[i]);
    return 2;
  }
  std::fputs(kUsage, stdout);
  return 0;
}
