// dialvo: the desktop program.
#include <QApplication>
#include <cstdio>

#include "app/AppOptions.h"
#include "app/DialvoApp.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Orvanta Dialvo"));
  QApplication::setApplicationVersion(QStringLiteral(DIALVO_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("orvanta-dialvo"));
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
