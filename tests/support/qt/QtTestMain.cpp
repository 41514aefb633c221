// main() of the Qt test programs: a QApplication on the offscreen platform
// (unless the caller chose another), then every GoogleTest case.
#include <gmock/gmock.h>

#include <QApplication>
#include <QPointer>
#include <QWidget>
#include <cstdlib>

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // No desktop session: keep Qt from looking for a session bus or a theme.
  setenv("QT_QPA_PLATFORMTHEME", "", 0);
  QApplication app(argc, argv);
  testing::InitGoogleMock(&argc, argv);
  const int status = RUN_ALL_TESTS();
  // Windows that close themselves later (notification pop-ups) would
  // outlive the run: close them as the desktop would at logout.
  QList<QPointer<QWidget>> windows;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->parentWidget() == nullptr) windows.append(w);
  }
  for (const QPointer<QWidget>& w : windows) delete w.data();
  return status;
}
