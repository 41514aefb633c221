// The mixer against a private sound server the test starts itself, with pactl
// as the other program that reads and changes the same volumes.
#include "audio/Mixer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "audio/SoundBackend.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PulseServer.h"
#include "tests/support/ScratchDir.h"
#include "tests/support/Wait.h"

namespace dialvo {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr uint32_t kFullPulse = 65536;  // 100 %

TEST(MixerScale, VolumesLevelsAndSliderPositionsMapBothWays) {
  EXPECT_EQ(LevelFromPulse(0), 0u);
  EXPECT_EQ(LevelFromPulse(kFullPulse), 65535u);
  // Above 100 % the level stays at the top instead of wrapping round.
  EXPECT_EQ(LevelFromPulse(kFullPulse * 3 / 2), 65535u);
  EXPECT_EQ(LevelFromPulse(UINT32_MAX), 65535u);
  EXPECT_EQ(PulseFromLevel(0), 0u);
  EXPECT_EQ(PulseFromLevel(65535), kFullPulse);
  EXPECT_EQ(PulseFromLevel(70000), kFullPulse);
  EXPECT_EQ(PulseFromLevel(32768), kFullPulse / 2 + 1);
  for (uint32_t level = 0; level <= 65535; ++level) {
    ASSERT_EQ(LevelFromPulse(PulseFromLevel(level)), level);
  }
  for (uint32_t volume = 0; volume <= kFullPulse; ++volume) {
    const uint32_t back = PulseFromLevel(LevelFromPulse(volume));
    ASSERT_LE(back > volume ? back - volume : volume - back, 1u) << volume;
  }

  EXPECT_EQ(LevelFromPosition(0), 65280u);
  EXPECT_EQ(LevelFromPosition(255), 0u);
  EXPECT_EQ(LevelFromPosition(-4), 65280u);
  EXPECT_EQ(LevelFromPosition(300), 0u);
  EXPECT_EQ(PositionFromLevel(65280), 0);
  EXPECT_EQ(PositionFromLevel(65535), 0);
  EXPECT_EQ(PositionFromLevel(70000), 0);  // held at the top, not "mod 256"
  EXPECT_EQ(PositionFromLevel(0), 255);
  EXPECT_EQ(PositionFromLevel(20 * 256 + 255), 235);
  for (int position = 0; position <= 255; ++position) {
    ASSERT_EQ(PositionFromLevel(LevelFromPosition(position)), position);
  }
}

TEST(MixerOpen, FailsWithinItsTimeoutWhenNoServerAnswers) {
  test::ScratchDir dir;
  MixerOptions options;
  options.connectTimeoutMs = 400;
  std::string error;

  options.server = "unix:" + dir.File("nobody");
  auto start = steady_clock::now();
  EXPECT_EQ(Mixer::Open(options, &error), nullptr);
  EXPECT_LT(steady_clock::now() - start, milliseconds(400));
  EXPECT_NE(error.find("cannot connect to the sound server"), std::string::npos) << error;

  // A socket that takes the connection and then says nothing.
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = dir.File("silent");
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  options.server = "unix:" + path;
  start = steady_clock::now();
  EXPECT_EQ(Mixer::Open(options, &error), nullptr);
  const auto spent = steady_clock::now() - start;
  EXPECT_GE(spent, milliseconds(350));
  EXPECT_LT(spent, milliseconds(1500));
  EXPECT_NE(error.find("no answer from the sound server within 400 ms"), std::string::npos)
      << error;
  close(fd);
}

// The change callback's calls, with what Level said from inside it.
class Changes {
 public:
  void Watch(Mixer& mixer) {
    mixer.SetChangeCallback([this, &mixer](MixerLine line, uint32_t level) {
      const uint32_t seen = mixer.Level(line).value_or(0);
      std::lock_guard lock(mutex_);
      calls_.push_back({line, level, seen});
    });
  }
  // Waits for a call with that level; true when Level agreed inside it.
  bool Saw(MixerLine line, uint32_t level, int timeoutMs = 1000) {
    bool agreed = false;
    test::WaitFor(
        [&] {
          std::lock_guard lock(mutex_);
          for (const Call& call : calls_) {
            if (call.line == line && call.level == level) agreed = call.seen == level;
          }
          return agreed;
        },
        timeoutMs);
    return agreed;
  }
  // The levels reported for a line, in order.
  std::vector<uint32_t> Levels(MixerLine line) {
    std::lock_guard lock(mutex_);
    std::vector<uint32_t> levels;
    for (const Call& call : calls_) {
      if (call.line == line) levels.push_back(call.level);
    }
    return levels;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
  }

 private:
  struct Call {
    MixerLine line;
    uint32_t level;
    uint32_t seen;
  };
  std::mutex mutex_;
  std::vector<Call> calls_;
};

struct SinkInput {
  uint32_t index = 0;
  uint32_t volume = 0;  // first channel
  bool muted = false;
};

class MixerServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.StartForThisProcess(&error)) << error;
  }

  std::unique_ptr<Mixer> OpenMixer() {
    std::string error;
    auto mixer = Mixer::Open({.server = server_.Address()}, &error);
    EXPECT_NE(mixer, nullptr) << error;
    return mixer;
  }

  std::string Pactl(const std::vector<std::string>& args) {
    std::string out;
    EXPECT_EQ(server_.Pactl(args, &out), 0) << out;
    return out;
  }

  bool SourceMuted(const std::string& source) {
    return Pactl({"get-source-mute", source}).find("yes") != std::string::npos;
  }
  // The playback stream of a process as the server lists it now.
  std::optional<SinkInput> StreamOf(int pid) {
    const std::string text = Pactl({"list", "sink-inputs"});
    const std::string head = "Sink Input #";
    const std::string owner = "application.process.id = \"" + std::to_string(pid) + '"';
    for (size_t at = text.find(head); at != std::string::npos;) {
      const size_t next = text.find(head, at + 1);
      const std::string block = text.substr(at, next - at);
      if (block.find(owner) != std::string::npos) {
        return SinkInput{static_cast<uint32_t>(std::stoul(block.substr(head.size()))),
                         test::PulseServer::FirstVolume(block),
                         block.find("Mute: yes") != std::string::npos};
      }
      at = next;
    }
    return std::nullopt;
  }
  std::optional<SinkInput> FindOurStream() { return StreamOf(getpid()); }
  // Waits for our stream to turn up, with the given volume when one is asked for.
  std::optional<SinkInput> WaitForOurStream(std::optional<uint32_t> volume = std::nullopt) {
    std::optional<SinkInput> found;
    const auto ready = [&] { return found && (!volume || found->volume == *volume); };
    test::WaitFor([&] { return (found = FindOurStream(), ready()); }, 2000);
    return ready() ? found : std::nullopt;
  }
  OpenedStream<PlaybackStream> OpenOurStream() {
    SoundBackendOptions options;
    options.kind = SoundBackendKind::kPulse;
    options.programName = "dialvo-mixer-test";
    options.server = server_.Address();
    backend_ = CreateSoundBackend(options, nullptr);
    auto opened = backend_->OpenPlayback(WaveFormat{}, 3200);
    EXPECT_NE(opened.stream, nullptr) << opened.error;
    return opened;
  }

  test::PulseServer server_;
  std::shared_ptr<SoundBackend> backend_;
};

TEST_F(MixerServerTest, LevelsSetHereAndElsewhereMeetOnTheServer) {
  auto mixer = OpenMixer();
  ASSERT_NE(mixer, nullptr);
  Changes changes;
  changes.Watch(*mixer);
  for (const MixerLine line : {MixerLine::kMaster, MixerLine::kMicrophone, MixerLine::kSpeaker}) {
    EXPECT_TRUE(mixer->Available(line));
  }
  EXPECT_EQ(mixer->Level(MixerLine::kMaster), 65535u);
  EXPECT_EQ(mixer->Level(MixerLine::kMicrophone), 65535u);

  // Set here: the cache has it at once, the server soon after, and the
  // callback hears of it too.
  mixer->SetLevel(MixerLine::kMaster, 20000);
  mixer->SetLevel(MixerLine::kMicrophone, LevelFromPosition(100));
  EXPECT_EQ(mixer->Level(MixerLine::kMaster), 20000u);
  EXPECT_TRUE(
      test::WaitFor([&] { return server_.Volume("sink", "out") == PulseFromLevel(20000); }, 1000));
  EXPECT_TRUE(test::WaitFor(
      [&] { return server_.Volume("source", "out.monitor") == PulseFromLevel(155 * 256); }, 1000));
  EXPECT_TRUE(changes.Saw(MixerLine::kMaster, 20000));
  EXPECT_TRUE(changes.Saw(MixerLine::kMicrophone, 155 * 256));

  // A quick run of settings: readings the server sent before a setting
  // arrived never take the level back.
  changes.Clear();
  for (uint32_t level = 1000; level <= 40000; level += 1000) {
    mixer->SetLevel(MixerLine::kMaster, level);
    ASSERT_EQ(mixer->Level(MixerLine::kMaster), level);
  }
  EXPECT_TRUE(changes.Saw(MixerLine::kMaster, 40000));
  EXPECT_TRUE(
      test::WaitFor([&] { return server_.Volume("sink", "out") == PulseFromLevel(40000); }, 1000));
  const std::vector<uint32_t> swept = changes.Levels(MixerLine::kMaster);
  EXPECT_TRUE(std::is_sorted(swept.begin(), swept.end())) << ::testing::PrintToString(swept);
  EXPECT_EQ(mixer->Level(MixerLine::kMaster), 40000u);

  // Changed elsewhere; above 100 % reads as the top.
  Pactl({"set-sink-volume", "out", "26214"});
  Pactl({"set-source-volume", "out.monitor", "98304"});
  EXPECT_TRUE(changes.Saw(MixerLine::kMaster, LevelFromPulse(26214)));
  EXPECT_TRUE(changes.Saw(MixerLine::kMicrophone, 65535));
  EXPECT_EQ(mixer->Level(MixerLine::kMaster), LevelFromPulse(26214));

  // New defaults, reported even at an unchanged level: a real input, which
  // the server makes the default source by itself, and another sink.
  changes.Clear();
  Pactl({"load-module", "module-null-source", "source_name=mic"});
  EXPECT_TRUE(changes.Saw(MixerLine::kMicrophone, 65535));
  Pactl({"load-module", "module-null-sink", "sink_name=other"});
  Pactl({"set-default-sink", "other"});
  EXPECT_TRUE(changes.Saw(MixerLine::kMaster, 65535));
  mixer->SetLevel(MixerLine::kMaster, 1000);
  EXPECT_TRUE(
      test::WaitFor([&] { return server_.Volume("sink", "other") == PulseFromLevel(1000); }, 1000));
  EXPECT_EQ(server_.Volume("sink", "out"), 26214u);
}

TEST_F(MixerServerTest, SpeakerLevelWaitsForOurStreamAndStaysOffOthers) {
  auto mixer = OpenMixer();
  ASSERT_NE(mixer, nullptr);
  Changes changes;
  changes.Watch(*mixer);
  EXPECT_EQ(mixer->Level(MixerLine::kSpeaker), 65535u);
  mixer->SetLevel(MixerLine::kSpeaker, 30000);
  EXPECT_EQ(mixer->Level(MixerLine::kSpeaker), 30000u);
  EXPECT_TRUE(changes.Saw(MixerLine::kSpeaker, 30000));

  // Another program's stream is left as it is.
  test::ChildProcess other;
  ASSERT_TRUE(
      other.Start({"pacat", "--server=" + server_.Address(), "/dev/zero"}, server_.ClientEnv()));
  const auto others = [&] { return StreamOf(other.Pid()).value_or(SinkInput{}).volume; };
  EXPECT_TRUE(test::WaitFor([&] { return others() == kFullPulse; }, 2000));

  // Ours gets the level set before it existed, then follows the line.
  auto stream = OpenOurStream();
  ASSERT_NE(stream.stream, nullptr);
  EXPECT_TRUE(WaitForOurStream(PulseFromLevel(30000)));
  mixer->SetLevel(MixerLine::kSpeaker, 50000);
  const std::optional<SinkInput> ours = WaitForOurStream(PulseFromLevel(50000));
  ASSERT_TRUE(ours);
  EXPECT_EQ(others(), kFullPulse);

  // And the line follows it when it is changed elsewhere.
  Pactl({"set-sink-input-volume", std::to_string(ours->index), "13107"});
  EXPECT_TRUE(changes.Saw(MixerLine::kSpeaker, LevelFromPulse(13107)));
  stream.stream.reset();
  EXPECT_TRUE(test::WaitFor([&] { return !FindOurStream(); }, 1000));
  EXPECT_EQ(mixer->Level(MixerLine::kSpeaker), LevelFromPulse(13107));
}

TEST_F(MixerServerTest, AutomaticSettingsTouchOnlyARealInputAndOurStreams) {
  // Only the sink's monitor to record from, muted and quiet; our stream muted.
  Pactl({"set-source-mute", "out.monitor", "1"});
  Pactl({"set-source-volume", "out.monitor", "3277"});
  auto stream = OpenOurStream();
  ASSERT_NE(stream.stream, nullptr);
  const std::optional<SinkInput> ours = WaitForOurStream();
  ASSERT_TRUE(ours);
  Pactl({"set-sink-input-mute", std::to_string(ours->index), "1"});
  auto mixer = OpenMixer();
  ASSERT_NE(mixer, nullptr);

  Mixer::AutoReport report = mixer->ApplyAutomaticSettings();
  EXPECT_FALSE(report.sourceSwitched);
  EXPECT_FALSE(report.sourceUnmuted);
  EXPECT_FALSE(report.microphoneRaised);
  EXPECT_TRUE(report.streamsUnmuted);
  EXPECT_EQ(report.source, "");
  EXPECT_EQ(Pactl({"get-default-source"}), "out.monitor\n");
  EXPECT_TRUE(SourceMuted("out.monitor"));
  EXPECT_EQ(server_.Volume("source", "out.monitor"), 3277u);
  const std::optional<SinkInput> unmuted = FindOurStream();
  ASSERT_TRUE(unmuted);
  EXPECT_FALSE(unmuted->muted);

  // A real input turns up, muted and quiet, and the monitor stays the default.
  Pactl({"load-module", "module-null-source", "source_name=mic"});
  Pactl({"set-default-source", "out.monitor"});
  Pactl({"set-source-mute", "mic", "1"});
  Pactl({"set-source-volume", "mic", "6554"});  // 25 in steps of 256
  report = mixer->ApplyAutomaticSettings();
  EXPECT_TRUE(report.sourceSwitched);
  EXPECT_TRUE(report.sourceUnmuted);
  EXPECT_TRUE(report.microphoneRaised);
  EXPECT_FALSE(report.streamsUnmuted);
  EXPECT_EQ(report.source, "mic");
  EXPECT_EQ(mixer->Level(MixerLine::kMicrophone), 128u * 256);
  EXPECT_EQ(Pactl({"get-default-source"}), "mic\n");
  EXPECT_FALSE(SourceMuted("mic"));
  EXPECT_EQ(server_.Volume("source", "mic"), PulseFromLevel(128 * 256));
  EXPECT_TRUE(SourceMuted("out.monitor"));
  EXPECT_EQ(server_.Volume("source", "out.monitor"), 3277u);

  // Once set up, nothing more to do.
  report = mixer->ApplyAutomaticSettings();
  EXPECT_FALSE(report.sourceSwitched || report.sourceUnmuted || report.microphoneRaised ||
               report.streamsUnmuted);
  EXPECT_EQ(report.source, "mic");

  // A call starting raises only a microphone below 16 steps; set-up below 32.
  mixer->SetLevel(MixerLine::kMicrophone, 20 * 256);
  EXPECT_FALSE(mixer->RaiseQuietMicrophone(16));
  EXPECT_EQ(mixer->Level(MixerLine::kMicrophone), 20u * 256);
  EXPECT_TRUE(mixer->RaiseQuietMicrophone(32));
  EXPECT_EQ(mixer->Level(MixerLine::kMicrophone), 128u * 256);
  EXPECT_TRUE(test::WaitFor(
      [&] { return server_.Volume("source", "mic") == PulseFromLevel(128 * 256); }, 1000));
}

}  // namespace
}  // namespace dialvo
