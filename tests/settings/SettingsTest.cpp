#include "settings/Settings.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "settings/AtomicFile.h"
#include "settings/Autostart.h"
#include "tests/support/ScratchDir.h"

namespace dialvo {
namespace {

using test::ReadFile;

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct StoreWithWarnings {
  explicit StoreWithWarnings(const std::filesystem::path& dir)
      : store(dir, [this](const std::string& text) { warnings.push_back(text); }) {}
  std::vector<std::string> warnings;
  SettingsStore store;
};

// No temporary file is left behind in dir.
void ExpectOnlyTheSettingsFile(const std::filesystem::path& dir) {
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "dialvo.conf" || name == ".dialvo.conf.lock") << name;
  }
}

TEST(Settings, MissingOrWronglyTypedValuesGiveTheDefaultsAndReadsCreateNothing) {
  test::ScratchDir tmp;
  const std::filesystem::path dir = tmp.File("conf");
  StoreWithWarnings s(dir);
  const NetworkSettings defaults = LoadNetworkSettings(s.store);
  EXPECT_EQ(defaults.listeningPort, 1720u);
  EXPECT_EQ(defaults.httpProxyPort, 80u);
  EXPECT_EQ(ReadRingTime(s.store), 10u);
  EXPECT_EQ(ReadDword(s.store, keys::kPopupBuddyOnline), 1u);
  EXPECT_FALSE(PrepareRecordingsDirectory(s.store).has_value());
  EXPECT_EQ(DirectoryHost(s.store), "localhost");
  EXPECT_FALSE(std::filesystem::exists(dir));

  // A value of the wrong type keeps its default, without a warning.
  std::filesystem::create_directory(dir);
  WriteFile(s.store.FilePath(),
            "[Orvanta]\nListeningPort=abc\nHttpProxyPort=-1\nIPType=99999999999\n"
            "RingTime= 7 \n");
  const NetworkSettings net = LoadNetworkSettings(s.store);
  EXPECT_EQ(net.listeningPort, 1720u);
  EXPECT_EQ(net.httpProxyPort, 80u);
  EXPECT_EQ(net.ipType, 0u);
  EXPECT_EQ(ReadRingTime(s.store), 7u);
  EXPECT_TRUE(s.warnings.empty());
}

TEST(Settings, NetworkSettingsRoundTripThroughOnePrivateFile) {
  test::ScratchDir tmp;
  StoreWithWarnings s(tmp.Path());
  ASSERT_TRUE(s.store.WriteDword(keys::kRingTime, 17));

  NetworkSettings net;
  net.httpProxyName = " proxy # host = x\nnext\\line ";
  net.useHttpProxy = 1;
  net.configuredIp = "caf\xE9.example";  // not UTF-8: still comes back byte for byte
  net.useAlternateListeningPort = 1;
  net.listeningPort = 5555;
  net.ipType = 3;
  net.httpProxyPort = 8080;
  ASSERT_TRUE(SaveNetworkSettings(s.store, net));

  EXPECT_EQ(LoadNetworkSettings(SettingsStore(tmp.Path())), net);
  EXPECT_EQ(net.EffectiveListeningPort(), 5555u);
  net.useAlternateListeningPort = 0;
  EXPECT_EQ(net.EffectiveListeningPort(), 1720u);
  EXPECT_EQ(ReadRingTime(s.store), 17u);  // untouched by the unit save

  struct stat st {};
  ASSERT_EQ(::stat(s.store.FilePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ExpectOnlyTheSettingsFile(tmp.Path());
  EXPECT_TRUE(s.warnings.empty());
}

TEST(Settings, DamagedFileMeansDefaultsOneWarningAndIsKeptAside) {
  test::ScratchDir tmp;
  StoreWithWarnings s(tmp.Path());
  const std::string garbage = "[Orvanta\nRingTime=3\n\x01\x02 no equals sign\n";
  WriteFile(s.store.FilePath(), garbage);

  EXPECT_EQ(ReadRingTime(s.store), 10u);
  EXPECT_EQ(LoadNetworkSettings(s.store), NetworkSettings{});
  ASSERT_EQ(s.warnings.size(), 1u);
  EXPECT_NE(s.warnings[0].find("damaged"), std::string::npos);

  // The first write keeps the damaged file instead of silently losing it.
  ASSERT_TRUE(s.store.WriteDword(keys::kRingTime, 20));
  EXPECT_EQ(ReadFile(s.store.FilePath().string() + ".corrupt"), garbage);
  EXPECT_EQ(ReadRingTime(s.store), 20u);
  EXPECT_EQ(s.warnings.size(), 2u);
}

TEST(Settings, UnreadableFileIsNeverOverwritten) {
  test::ScratchDir tmp;
  StoreWithWarnings s(tmp.Path());
  // A folder in the file's place cannot be read (root ignores mode bits).
  std::filesystem::create_directory(s.store.FilePath());
  EXPECT_EQ(ReadRingTime(s.store), 10u);
  EXPECT_EQ(s.warnings.size(), 1u);
  EXPECT_FALSE(s.store.WriteDword(keys::kRingTime, 20));
  EXPECT_TRUE(std::filesystem::is_directory(s.store.FilePath()));
  // Nor replaced by a whole-file write: its rename fails, and says so.
  WriteFile(s.store.FilePath() / "kept", "x");
  std::string error;
  EXPECT_FALSE(WriteFileAtomically(s.store.FilePath(), "RingTime=20\n", 0600, &error));
  EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(s.store.FilePath() / "kept"), "x");
  ExpectOnlyTheSettingsFile(tmp.Path());
}

TEST(Settings, RingTimeIsHeldInRangeWhereReadAndWrittenBackBySettings) {
  test::ScratchDir tmp;
  SettingsStore store(tmp.Path());
  EXPECT_EQ(NormaliseRingTime(store), 10u);
  EXPECT_FALSE(std::filesystem::exists(store.FilePath()));  // a missing value is not written

  const auto stored = [&] { return store.ReadNumber(SettingsStore::kMainGroup, keys::kRingTime); };
  store.WriteDword(keys::kRingTime, 3);
  EXPECT_EQ(ReadRingTime(store), 5u);  // call handling never rings shorter ...
  EXPECT_EQ(stored(), 3u);             // ... and reading changes nothing
  EXPECT_EQ(NormaliseRingTime(store), 5u);
  EXPECT_EQ(stored(), 5u);

  // A caller gives up after about 27 s: never ring longer than 25 s.
  for (const uint32_t value : {26u, 30u, 4000000000u}) {
    store.WriteDword(keys::kRingTime, value);
    EXPECT_EQ(ReadRingTime(store), 25u) << value;
  }
  EXPECT_EQ(NormaliseRingTime(store), 25u);
  EXPECT_EQ(stored(), 25u);

  store.WriteDword(keys::kRingTime, 12);
  EXPECT_EQ(NormaliseRingTime(store), 12u);
  EXPECT_EQ(ReadRingTime(store), 12u);
}

TEST(Settings, RecordingsDirectoryIsTrimmedAndCreatedWithItsParents) {
  test::ScratchDir tmp;
  SettingsStore store(tmp.File("conf"));
  const std::filesystem::path target = tmp.File("a/b/rec");
  store.WriteString(keys::kRecordingsDirectory, "  " + target.string() + "/  ");
  const auto dir = PrepareRecordingsDirectory(store);
  ASSERT_TRUE(dir.has_value());
  EXPECT_EQ(*dir, target);
  EXPECT_TRUE(std::filesystem::is_directory(target));
}

TEST(Settings, IpListKeepsTheFirstTenEntriesAndBuddyListsAreKeptPerUser) {
  test::ScratchDir tmp;
  SettingsStore store(tmp.Path());
  std::vector<std::string> entries;
  for (int i = 1; i <= 12; ++i) entries.push_back("10.0.0." + std::to_string(i));
  ASSERT_TRUE(SaveIpList(store, entries));
  EXPECT_EQ(store.ReadString(keys::kIPList),
            "10.0.0.1 10.0.0.2 10.0.0.3 10.0.0.4 10.0.0.5 10.0.0.6 10.0.0.7 10.0.0.8 10.0.0.9 "
            "10.0.0.10 ");
  entries.resize(10);
  EXPECT_EQ(LoadIpList(store), entries);

  // Buddy lists are kept per user.
  ASSERT_TRUE(SaveBuddyList(store, "Alice", {"bob", "carol"}));
  ASSERT_TRUE(SaveBuddyList(store, "odd [name]", {"dave"}));
  EXPECT_EQ(store.ReadText(BuddyListGroup("alice"), keys::kBuddyList), "bob carol ");
  // User names match without regard to case, as the list's owner is one person.
  EXPECT_EQ(LoadBuddyList(store, "ALICE"), (std::vector<std::string>{"bob", "carol"}));
  EXPECT_EQ(LoadBuddyList(store, "odd [name]"), std::vector<std::string>{"dave"});
  EXPECT_TRUE(LoadBuddyList(store, "nobody").empty());
}

TEST(Settings, StoredLoginFollowsTheAutoLoginFlag) {
  test::ScratchDir tmp;
  SettingsStore store(tmp.Path());
  const auto login = [&] {
    const StoredLogin l = LoadStoredLogin(store);
    return std::make_tuple(l.autoLogin, l.user, l.password);
  };
  const auto none = std::make_tuple(0u, std::string(), std::string());
  ASSERT_TRUE(StoreLoginCredentials(store, "ann", "secret"));
  EXPECT_EQ(login(), none);

  ASSERT_TRUE(SaveAutoLogin(store, true));
  ASSERT_TRUE(StoreLoginCredentials(store, "ann", "se cret=#"));
  EXPECT_EQ(login(), std::make_tuple(1u, std::string("ann"), std::string("se cret=#")));

  ASSERT_TRUE(SaveAutoLogin(store, false));
  EXPECT_EQ(login(), none);
}

TEST(Settings, AutostartEntryRunsTheProgramHiddenWhileOn) {
  test::ScratchDir tmp;
  const std::filesystem::path dir = tmp.File("autostart");
  const std::filesystem::path program = "/opt/my apps/dia\"lvo";
  EXPECT_FALSE(IsAutoStartOn(dir));
  ASSERT_TRUE(SetAutoStart(true, program, dir));
  EXPECT_TRUE(IsAutoStartOn(dir));

  g_autoptr(GKeyFile) file = g_key_file_new();
  ASSERT_TRUE(g_key_file_load_from_file(file, (dir / kAutostartFileName).c_str(), G_KEY_FILE_NONE,
                                        nullptr));
  g_autofree gchar* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
  ASSERT_NE(exec, nullptr);
  EXPECT_STREQ(exec, "\"/opt/my apps/dia\\\"lvo\" DontShow");
  // The desktop's own parser gives back the path and the one word.
  g_auto(GStrv) argv = nullptr;
  ASSERT_TRUE(g_shell_parse_argv(exec, nullptr, &argv, nullptr));
  EXPECT_STREQ(argv[0], program.c_str());
  EXPECT_STREQ(argv[1], "DontShow");
  EXPECT_EQ(argv[2], nullptr);

  ASSERT_TRUE(SetAutoStart(false, program, dir));
  EXPECT_FALSE(IsAutoStartOn(dir));
  EXPECT_FALSE(ProgramPath().empty());
}

TEST(Settings, DirectoriesFollowTheOverrideThenXdgThenHome) {
  ::setenv("HOME", "/home/u", 1);
  ::unsetenv("DIALVO_CONFIG_DIR");
  ::unsetenv("DIALVO_CACHE_DIR");
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("XDG_CACHE_HOME", "relative/ignored", 1);
  EXPECT_EQ(DefaultConfigDirectory(), "/home/u/.config/Orvanta");
  EXPECT_EQ(DefaultCacheDirectory(), "/home/u/.cache/Orvanta");
  EXPECT_EQ(DefaultAutostartDirectory(), "/home/u/.config/autostart");
  ::setenv("XDG_CONFIG_HOME", "/x/conf", 1);
  ::setenv("XDG_CACHE_HOME", "/x/cache", 1);
  EXPECT_EQ(DefaultConfigDirectory(), "/x/conf/Orvanta");
  EXPECT_EQ(DefaultCacheDirectory(), "/x/cache/Orvanta");
  ::setenv("DIALVO_CONFIG_DIR", "/y/mine", 1);
  EXPECT_EQ(SettingsStore().Directory(), "/y/mine");
  EXPECT_EQ(SettingsStore("/z").Directory(), "/z");
}

TEST(Settings, ConcurrentWritersLoseNoValue) {
  test::ScratchDir tmp;
  std::vector<std::thread> writers;
  writers.reserve(4);
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&tmp, t] {
      SettingsStore store(tmp.Path());  // each thread with its own store, as modules do
      for (uint32_t i = 1; i <= 20; ++i) store.WriteDword("Key" + std::to_string(t), i);
    });
  }
  for (auto& w : writers) w.join();
  SettingsStore store(tmp.Path());
  for (int t = 0; t < 4; ++t) EXPECT_EQ(store.ReadDword("Key" + std::to_string(t), 0), 20u);
}

}  // namespace
}  // namespace dialvo
