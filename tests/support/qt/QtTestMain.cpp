// main() of the Qt test programs: a QApplication on the offscreen platform
// (unless the caller chose another), then every GoogleTest case.
#include <gmock/gmock.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // No desktop session: keep Qt from looking for a session bus or a theme.
  setenv("QT_QPA_PLATFORMTHEME", "", 0);
  QApplication app(argc, argv);
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
