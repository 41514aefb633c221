#pragma once
// The desktop program's command line.
#include <QString>
#include <QStringList>
#include <optional>

#include "audio/SoundBackend.h"

namespace dialvo {

struct AppOptions {
  bool dontShow = false;      // the word DontShow, in any letter case: start hidden
  QString configDirectory;    // --config DIR; empty: the default
  QString server;             // --server HOST[:PORT]: the service for this run
  bool localService = false;  // --local-service: the service was started for this run
  SoundBackendKind audio = SoundBackendKind::kPulse;  // --audio pulse|file|null
};

// nullopt with error set for a bad command line. arguments excludes the
// program name.
std::optional<AppOptions> ParseAppOptions(const QStringList& arguments, QString* error);

inline constexpr const char* kAppUsage =
    "usage: dialvo [DontShow] [--config DIR] [--server HOST[:PORT]] [--local-service] "
    "[--audio pulse|null]\n"
    "       dialvo --help | --version";

}  // namespace dialvo
