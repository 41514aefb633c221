// Linked into every test executable: a fixed locale and time zone, and where
// the build's programs and the sources are, whether the test runs under
// CTest or by hand.
#include <cstdlib>

namespace {

struct TestEnvironment {
  TestEnvironment() {
    setenv("LANG", "C.UTF-8", 1);
    setenv("TZ", "UTC", 1);
    setenv("DIALVO_SOURCE_DIR", DIALVO_TEST_SOURCE_DIR, 0);
    setenv("DIALVO_BIN_DIR", DIALVO_TEST_BIN_DIR, 0);
  }
};

const TestEnvironment environment;

}  // namespace
