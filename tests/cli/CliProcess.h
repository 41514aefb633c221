#pragma once
// The tests' name for a dialvo-cli process with its output kept.
#include "tests/support/CliClient.h"

namespace dialvo::test {

using CliProcess = CliClient;

}  // namespace dialvo::test
