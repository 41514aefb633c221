#include "app/WebLinks.h"

namespace dialvo {

QUrl ServicePage(const QString& directoryHost, const QString& path, const QString& query) {
  QString base = directoryHost.trimmed();
  if (!base.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) &&
      !base.startsWith(QLatin1String("https://"), Qt::CaseInsensitive)) {
    base = QStringLiteral("http://") + base;
  }
  QUrl url(base);
  QString basePath = url.path();
  while (basePath.endsWith(QLatin1Char('/'))) basePath.chop(1);
  url.setPath(basePath + path);
  if (query.isEmpty()) {
    url.setQuery(QString());
  } else {
    url.setQuery(query);
  }
  return url;
}

}  // namespace dialvo
