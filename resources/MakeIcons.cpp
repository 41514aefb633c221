// dialvo_make_icons DIR: writes the program's icon as DIR/<n>x<n>/apps/org.orvanta.Dialvo.png
// for the sizes of the hicolor theme, drawn by the same code as the window's.
#include <QDir>
#include <QGuiApplication>
#include <cstdio>

#include "app/Icons.h"

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: dialvo_make_icons DIR\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    const QString folder = QStringLiteral("%1x%1/apps").arg(size);
    const QString path = out.filePath(folder + QStringLiteral("/org.orvanta.Dialvo.png"));
    if (!QDir().mkpath(out.filePath(folder)) || !dialvo::ProgramIconPixmap(size).save(path)) {
      std::fprintf(stderr, "dialvo_make_icons: cannot write %s\n", qPrintable(path));
      return 1;
    }
  }
  return 0;
}
