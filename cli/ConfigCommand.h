#pragma once
// dialvo-cli config: reads and writes single values of the settings' main
// group, so that scripts can set up the client and the desktop program:
//
//   dialvo-cli [--config DIR] config get KEY
//   dialvo-cli [--config DIR] config set KEY VALUE    (VALUE "-": read from stdin)
//   dialvo-cli [--config DIR] config unset KEY
#include <cstdio>
#include <span>

namespace dialvo::cli {

// True when the arguments (after the program name) ask for the config
// command: its word comes first, perhaps after --config DIR.
bool IsConfigCommand(std::span<const char* const> args);

// Runs the config command and returns the exit status: 0 done; 1 when get
// finds the value unset (nothing printed) or the file cannot be written;
// 2 for bad arguments or a value the setting cannot take (one line on err).
// in: where "set KEY -" reads its value (its first line), which keeps a
// password out of the process list.
int RunConfigCommand(std::span<const char* const> args, std::FILE* in, std::FILE* out,
                     std::FILE* err);

const char* ConfigUsageText();

}  // namespace dialvo::cli
