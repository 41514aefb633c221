#include "app/AppOptions.h"

namespace dialvo {

std::optional<AppOptions> ParseAppOptions(const QStringList& arguments, QString* error) {
  AppOptions options;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& word = arguments[i];
    auto value = [&](QString* out) {
      if (i + 1 >= arguments.size() || arguments[i + 1].isEmpty()) {
        *error = word + QStringLiteral(" needs a value");
        return false;
      }
      *out = arguments[++i];
      return true;
    };
    if (word.compare(QLatin1String("DontShow"), Qt::CaseInsensitive) == 0) {
      options.dontShow = true;
    } else if (word == QLatin1String("--config")) {
      if (!value(&options.configDirectory)) return std::nullopt;
    } else if (word == QLatin1String("--server")) {
      if (!value(&options.server)) return std::nullopt;
    } else if (word == QLatin1String("--local-service")) {
      options.localService = true;
    } else if (word == QLatin1String("--audio")) {
      QString kind;
      if (!value(&kind)) return std::nullopt;
      const auto parsed = ParseSoundBackendKind(kind.toStdString());
      // The file backend needs files to play and record; the desktop program
      // has no options for them.
      if (!parsed || *parsed == SoundBackendKind::kFile) {
        *error = QStringLiteral("--audio takes pulse or null, not ") + kind;
        return std::nullopt;
      }
      options.audio = *parsed;
    } else {
      *error = QStringLiteral("unknown argument ") + word;
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace dialvo
