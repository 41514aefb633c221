#pragma once
// The desktop program as a whole: one instance per user, the settings, the
// sounds, the call controller and the main window, and an orderly exit on
// File > Exit, the tray's Exit, SIGINT or SIGTERM.
#include <memory>

#include "app/AppOptions.h"

namespace dialvo {

// Runs the program inside an existing QApplication; returns the exit status.
int RunDialvo(const AppOptions& options);

}  // namespace dialvo
