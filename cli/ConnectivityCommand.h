#pragma once
// dialvo-cli --connectivity-test: whether others can reach this PC on its
// listening port, with the service's help.
#include <atomic>
#include <cstdio>

#include "cli/Options.h"

namespace dialvo::cli {

// Runs the test with the stored network settings as the options adjust
// them, printing each log line and the closing message to out. stop cancels
// it (SIGINT). Returns 0 when the service's datagram arrived, else 1.
int RunConnectivityCommand(const CliOptions& options, const std::atomic<bool>& stop,
                           std::FILE* out);

}  // namespace dialvo::cli
