// The dialvo program itself, as separate processes on the offscreen
// platform: one instance per user and settings directory.
#include <gmock/gmock.h>
#include <signal.h>

#include <QLocalSocket>

#include "app/SingleInstance.h"
#include "settings/Settings.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/Wait.h"

namespace dialvo::test {
namespace {

std::string BinDir() {
  const char* dir = std::getenv("DIALVO_BIN_DIR");
  return dir != nullptr ? dir : "build/bin";
}

std::vector<std::string> Program(const std::string& config, const std::string& extra = {}) {
  std::vector<std::string> argv{BinDir() + "/dialvo", "--config", config, "--audio", "null"};
  if (!extra.empty()) argv.push_back(extra);
  return argv;
}

const std::vector<std::string> kEnv{"QT_QPA_PLATFORM=offscreen"};

bool Answers(const QString& name) {
  QLocalSocket socket;
  socket.connectToServer(name);
  return socket.waitForConnected(200);
}

TEST(Program, OneInstancePerSettingsDirectoryACrashLeavesNoLockBadArgumentsEnd) {
  ScratchDir dir;
  SettingsStore settings(dir.Path());
  // Any free port: tests run side by side.
  const NetworkSettings anyPort{.useAlternateListeningPort = 1, .listeningPort = 0};
  ASSERT_TRUE(SaveNetworkSettings(settings, anyPort));
  const QString name = SingleInstanceName(QString::fromStdString(settings.Directory()));

  ChildProcess first;
  ASSERT_TRUE(first.Start(Program(dir.Path(), "dontSHOW"), kEnv));
  ASSERT_TRUE(WaitFor([&] { return Answers(name); }, 5000));

  // A second start wakes the first and ends, successfully (one that stayed
  // would run into the test's time-out).
  EXPECT_EQ(RunProgram(Program(dir.Path()), kEnv), 0);
  EXPECT_TRUE(first.Running());

  // Another settings directory is another instance.
  ScratchDir other;
  SettingsStore otherSettings(other.Path());
  ASSERT_TRUE(SaveNetworkSettings(otherSettings, anyPort));
  ChildProcess second;
  ASSERT_TRUE(second.Start(Program(other.Path(), "DontShow"), kEnv));
  ASSERT_TRUE(WaitFor(
      [&] {
        return Answers(SingleInstanceName(QString::fromStdString(otherSettings.Directory())));
      },
      5000));
  EXPECT_TRUE(second.Running());

  // A killed instance leaves its socket file; the next start takes over.
  kill(first.Pid(), SIGKILL);
  first.Stop();
  ChildProcess third;
  ASSERT_TRUE(third.Start(Program(dir.Path(), "DontShow"), kEnv));
  ASSERT_TRUE(WaitFor([&] { return Answers(name); }, 5000));
  EXPECT_TRUE(third.Running());

  // SIGTERM is an orderly exit.
  kill(third.Pid(), SIGTERM);
  EXPECT_TRUE(WaitFor([&] { return !third.Running(); }, 5000));

  // Bad arguments end the program at once.
  const std::string out = dir.File("out.txt");
  EXPECT_EQ(RunProgram({BinDir() + "/dialvo", "--bogus"}, kEnv, out), 2);
  EXPECT_EQ(RunProgram({BinDir() + "/dialvo", "--audio", "file"}, kEnv, out), 2);
}

}  // namespace
}  // namespace dialvo::test
