#include "app/SafeText.h"

namespace dialvo {

QString SafeText(std::string_view raw, int maxChars) {
  const QString decoded = QString::fromUtf8(raw.data(), static_cast<qsizetype>(raw.size()));
  QString out;
  out.reserve(std::min<qsizetype>(decoded.size(), maxChars));
  for (const QChar c : decoded) {
    if (out.size() >= maxChars) break;
    const QChar::Category category = c.category();
    // Controls and format characters (bidirectional overrides among them)
    // could hide or reorder what the user reads.
    if (category == QChar::Other_Control || category == QChar::Other_Format) continue;
    out.append(c);
  }
  return out;
}

}  // namespace dialvo
