// dialvo: the desktop program.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "app/AppOptions.h"
#include "app/DialvoApp.h"
#include "base/Version.h"

int main(int argc, char** argv) {
  // Answered before Qt starts, so that they work without a display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("dialvo %s\n", dialvo::kDialvoVersion);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("%s\n", dialvo::kAppUsage);
      return 0;
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Orvanta Dialvo"));
  QApplication::setApplicationVersion(QString::fromLatin1(dialvo::kDialvoVersion));
  QApplication::setDesktopFileName(QStringLiteral("org.orvanta.Dialvo"));
  // The window goes to the tray when closed; only Exit ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  QString error;
  const auto options = dialvo::ParseAppOptions(app.arguments().mid(1), &error);
  if (!options) {
    std::fprintf(stderr, "dialvo: %s\n%s\n", qPrintable(error), dialvo::kAppUsage);
    return 2;
  }
  return dialvo::RunDialvo(*options);
}
