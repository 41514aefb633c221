// dialvo-cli: its command line, its output lines, and two clients calling
// each other as separate processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <tuple>

#include "audio/GsmCodec.h"
#include "audio/WavFile.h"
#include "cli/ConfigCommand.h"
#include "cli/EventLine.h"
#include "cli/Options.h"
#include "engine/EngineEvents.h"
#include "settings/Settings.h"
#include "tests/cli/OnlineClients.h"
#include "tests/support/ScratchDir.h"

namespace dialvo::test {
namespace {

using cli::ParseResult;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;

ParseResult Parse(std::vector<const char*> args) { return cli::ParseOptions(args); }

TEST(CliOptions, ReadsEveryOptionAndRejectsBadOnesClearly) {
  const ParseResult ok = Parse({"--port", "0", "--user=ann", "--call", "example.org:1800",
                                "--callee", "bob", "--answer", "ignore", "--answer-delay=250",
                                "--hangup-after", "3", "--exit-on-call-end", "--null-audio"});
  ASSERT_EQ(ok.kind, ParseResult::kRun) << ok.error;
  const cli::CliOptions& o = ok.options;
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.user, "ann");
  EXPECT_EQ(o.call->host + ":" + std::to_string(o.call->port), "example.org:1800");
  EXPECT_EQ(o.callee, "bob");
  EXPECT_EQ(o.answer, cli::AnswerMode::kIgnore);
  EXPECT_EQ(o.answerDelayMs, 250u);
  EXPECT_EQ(*o.hangupAfterSec, 3u);
  EXPECT_TRUE(o.exitOnCallEnd && o.nullAudio);
  const cli::CliOptions d = Parse({"--call", "10.0.0.2", "--call", "10.0.0.3:99"}).options;
  EXPECT_EQ(d.port, 1720);
  EXPECT_EQ(d.user, "UNKNOWN");
  EXPECT_EQ(d.call->port, 1720);
  ASSERT_EQ(d.moreCalls.size(), 1u);  // called into the call once it runs
  EXPECT_EQ(d.moreCalls[0].host + ":" + std::to_string(d.moreCalls[0].port), "10.0.0.3:99");
  EXPECT_EQ(d.answer, cli::AnswerMode::kAccept);

  // Sound: PulseAudio unless asked; files mean the file backend.
  EXPECT_EQ(cli::SoundOptionsFor(d).kind, SoundBackendKind::kPulse);
  EXPECT_EQ(cli::SoundOptionsFor(o).kind, SoundBackendKind::kNull);
  const SoundBackendOptions files = cli::SoundOptionsFor(
      Parse({"--play-file", "in.wav", "--loop", "--rec-file=out.wav"}).options);
  EXPECT_EQ(files.kind, SoundBackendKind::kFile);
  EXPECT_EQ(files.playFile, "in.wav");
  EXPECT_EQ(files.recFile, "out.wav");
  EXPECT_TRUE(files.loop);
  EXPECT_EQ(cli::SoundOptionsFor(Parse({"--audio", "file"}).options).kind, SoundBackendKind::kFile);
  EXPECT_EQ(cli::SoundOptionsFor(Parse({"--audio=null", "--null-audio"}).options).kind,
            SoundBackendKind::kNull);

  // Recordings: played into the file backend, or exported.
  const ParseResult play = Parse({"--play-recording", "a.dvrec", "--rec-file", "out.wav"});
  ASSERT_EQ(play.kind, ParseResult::kRun) << play.error;
  EXPECT_EQ(play.options.playRecording, "a.dvrec");
  EXPECT_EQ(cli::SoundOptionsFor(play.options).kind, SoundBackendKind::kFile);
  const ParseResult exported = Parse({"--export-recording=a.dvrec", "b.wav"});
  ASSERT_EQ(exported.kind, ParseResult::kRun) << exported.error;
  EXPECT_EQ(exported.options.exportRecording, "a.dvrec");
  EXPECT_EQ(exported.options.exportWav, "b.wav");

  // Online: the presence options, names as the buddy list keeps them.
  const ParseResult online =
      Parse({"--config", "/tmp/conf", "--server=127.0.0.1:8720", "--login", " Ann ", "--password",
             "p w", "--buddy", "Bob ", "--buddy", "alice_2", "--buddy", "BOB", "--buddy", "alice.b",
             "--keepalive", "2", "--call-buddy", "Dee"});
  ASSERT_EQ(online.kind, ParseResult::kRun) << online.error;
  const cli::PresenceOptions& p = online.options.presence;
  EXPECT_EQ(p.configDir, "/tmp/conf");
  EXPECT_EQ(p.server, "127.0.0.1:8720");
  EXPECT_EQ(p.login, "Ann");
  EXPECT_EQ(p.password, "p w");
  EXPECT_THAT(p.buddies, ElementsAre("alice.b", "alice_2", "bob"));
  EXPECT_EQ(p.keepAliveSec, 2u);
  EXPECT_EQ(p.callBuddy, "dee");

  // The connectivity test, with an optional mode.
  ParseResult test = Parse({"--connectivity-test", "--port", "1800"});
  ASSERT_EQ(test.kind, ParseResult::kRun) << test.error;
  EXPECT_TRUE(test.options.connectivityTest);
  EXPECT_EQ(test.options.connectivityMode, cli::ConnectivityWord::kStored);
  EXPECT_TRUE(test.options.portGiven);
  test = Parse(
      {"--config", "/tmp/c", "--connectivity-test=reachability", "--server", "127.0.0.1:8720"});
  ASSERT_EQ(test.kind, ParseResult::kRun) << test.error;
  EXPECT_EQ(test.options.connectivityMode, cli::ConnectivityWord::kReachability);
  EXPECT_FALSE(test.options.portGiven);

  const std::vector<std::pair<std::vector<const char*>, const char*>> bad = {
      {{"--port", "65536"}, "--port"},
      {{"--port", "12a"}, "--port"},
      {{"--port"}, "needs a value"},
      {{"--user", ""}, "1 to 63"},
      {{"--call", ":1720"}, "names no host"},
      {{"--call", "host:0"}, "no valid port"},
      {{"--answer", "maybe"}, "accept, reject or ignore"},
      {{"--answer-delay", "-1"}, "--answer-delay"},
      {{"--callee", "bob"}, "needs --call"},
      {{"--null-audio=yes"}, "takes no value"},
      {{"--audio", "alsa"}, "not pulse, file or null"},
      {{"--play-file", "a.wav", "--audio", "pulse"}, "--play-file needs the file backend"},
      {{"--rec-file", "b.wav", "--null-audio"}, "--rec-file needs the file backend"},
      {{"--audio", "file", "--null-audio"}, "contradicts --audio"},
      {{"--loop"}, "--loop needs --play-file"},
      {{"--rec-file="}, "needs a file name"},
      {{"--colour"}, "unknown option '--colour'"},
      {{"extra"}, "unexpected argument 'extra'"},
      {{"--play-recording"}, "needs a recording file"},
      {{"--export-recording", "a.dvrec"}, "needs IN.dvrec OUT.wav"},
      {{"--export-recording", "a.dvrec", ""}, "needs IN.dvrec OUT.wav"},
      {{"--play-recording", "a", "--export-recording", "a", "b"}, "one at a time"},
      {{"--port", "0", "--play-recording", "a"}, "cannot go with --port"},
      {{"--play-recording", "a", "--call", "10.0.0.2"}, "cannot go with --call"},
      {{"--export-recording", "a", "b", "--login", "ann"}, "cannot go with --login"},
      {{"--play-recording", "a", "--play-file", "x.wav"}, "cannot go with --play-file"},
      {{"--export-recording", "a", "b", "--null-audio"}, "cannot go with --null-audio"},
      {{"--buddy", "bob"}, "--buddy needs --login"},
      {{"--server", "localhost", "--login", "a"}, "--login needs --password"},
      {{"--login", "a", "--password", "p", "--buddy", "al ice"}, "invalid characters or spaces"},
      {{"--login", "a", "--password", "p", "--call-buddy", " "}, "1 to 63 characters"},
      {{"--login", "a", "--password", "p", "--keepalive", "0"}, "1 to 86400"},
      {{"--login", "a", "--password", "p", "--server", "host:99999"}, "--server"},
      {{"--login", "a", "--password", "p", "--call-buddy", "b", "--call", "h"}, "one call"},
      {{"--login", "ann", "--password", "p", "--call-buddy", "ANN"}, "cannot call itself"},
      {{"--connectivity-test", "sideways"}, "'sideways' is not reachability or port-forward"},
      {{"--connectivity-test=", "--port", "1800"}, "'' is not reachability"},
      {{"--connectivity-test", "port-forward", "--login", "ann"}, "cannot go with --login"},
      {{"--null-audio", "--connectivity-test"}, "cannot go with --null-audio"},
      {{"--connectivity-test", "--port", "0"}, "needs a port from 1 to 65535"},
  };
  for (const auto& [args, message] : bad) {
    const ParseResult r = Parse(args);
    EXPECT_EQ(r.kind, ParseResult::kError) << message;
    EXPECT_THAT(r.error, HasSubstr(message));
  }
}

TEST(CliOutput, LinesCarryPeerNumbersAndEscapedValues) {
  EXPECT_EQ(cli::FormatLine(12, "EV_RINGING", {{"addr", "10.0.0.2:1720"}}),
            "12 EV_RINGING addr=10.0.0.2:1720");
  EXPECT_EQ(cli::EscapeValue("a b=c%\n"), "a%20b%3Dc%25%0A");
  // Nothing but printable ASCII reaches the terminal: no 8-bit controls, no
  // bidirectional marks, no broken UTF-8, no escape sequences.
  EXPECT_EQ(cli::EscapeValue("\x1b[2J\x9b\xe2\x80\xae\xff~\x7f"), "%1B[2J%9B%E2%80%AE%FF~%7F");

  cli::PeerBook book;
  cli::EventContext context;
  context.joinedAddress = "127.0.0.1:4000";
  auto* first = reinterpret_cast<Connection*>(0x10);
  auto* second = reinterpret_cast<Connection*>(0x20);
  PeerInfo info{};
  std::strcpy(info.userName, "Ann Lee");
  info.connection = first;
  info.peerVersion = 5;
  EXPECT_EQ(cli::FormatLine(1, "EV_PEER_JOINED",
                            cli::DescribeEvent(EV_PEER_JOINED, reinterpret_cast<uintptr_t>(&info),
                                               book, context)),
            "1 EV_PEER_JOINED peer=1 name=Ann%20Lee addr=127.0.0.1:4000 version=5 peers=1");
  info.connection = second;
  cli::DescribeEvent(EV_PEER_JOINED, reinterpret_cast<uintptr_t>(&info), book, context);
  const auto left = cli::DescribeEvent(EV_PEER_LEFT, reinterpret_cast<uintptr_t>(first), book, {});
  EXPECT_EQ(cli::FormatLine(2, "EV_PEER_LEFT", left),
            "2 EV_PEER_LEFT peer=1 name=Ann%20Lee addr=127.0.0.1:4000 peers=1");
  // The hang-up sent after the departure still names the peer.
  ByteCountRecord sent{first, 13};
  EXPECT_EQ(cli::FormatLine(
                3, "EV_BYTES_SENT",
                cli::DescribeEvent(EV_BYTES_SENT, reinterpret_cast<uintptr_t>(&sent), book, {})),
            "3 EV_BYTES_SENT peer=1 bytes=13");
  ByteCountRecord unknown{reinterpret_cast<Connection*>(0x30), 285};
  EXPECT_EQ(
      cli::DescribeEvent(EV_BYTES_SENT, reinterpret_cast<uintptr_t>(&unknown), book, {})[0].second,
      "0");
}

TEST(CliProcess, CallsAreRejectedAnsweredJoinedAndHungUp) {
  // bob rejects every call, carol answers after 300 ms and listens again
  // after each call, dee answers at once and leaves with its call.
  CliProcess bob({"--port", "0", "--user", "bob", "--answer", "reject"});
  CliProcess carol({"--port", "0", "--user", "carol", "--answer-delay", "300", "--null-audio"});
  CliProcess dee({"--port", "0", "--user", "dee", "--exit-on-call-end", "--null-audio"});
  const std::string bobPort = ListeningPort(bob);
  const std::string carolPort = ListeningPort(carol);
  const std::string deePort = ListeningPort(dee);
  ASSERT_FALSE(bobPort.empty() || carolPort.empty() || deePort.empty()) << carol.Stderr();
  {
    CliProcess alice({"--port", "0", "--call", "127.0.0.1:" + bobPort, "--exit-on-call-end"});
    EXPECT_EQ(alice.WaitExit(10000), 1);
    EXPECT_THAT(alice.Words(), IsSupersetOf({"EV_RINGING", "EV_CONNECT_FAILED"}));
  }
  EXPECT_EQ(bob.WaitExit(200), std::nullopt);  // still there

  CliProcess alice({"--port", "0", "--user", "alice", "--call", "127.0.0.1:" + carolPort,
                    "--callee", "carol", "--hangup-after", "1", "--exit-on-call-end",
                    "--null-audio"});
  EXPECT_EQ(alice.WaitExit(10000), 0) << alice.Stderr();
  EXPECT_THAT(alice.Words(),
              ElementsAre("LISTENING", "CALLING", "EV_RINGING", "EV_CALL_STARTED", "EV_PEER_JOINED",
                          "HANGUP", "EV_PEER_LEFT", "PEER_STATS", "EXIT"));
  const auto joined = *alice.WaitWord("EV_PEER_JOINED");
  EXPECT_EQ(CliProcess::Value(joined, "name"), "carol");
  EXPECT_EQ(CliProcess::Value(joined, "addr"), "127.0.0.1:" + carolPort);
  EXPECT_EQ(CliProcess::Value(*carol.WaitWord("EV_PEER_JOINED"), "name"), "alice");
  const std::string session = CliProcess::Value(*alice.WaitWord("EV_CALL_STARTED"), "session");
  EXPECT_EQ(session.size(), 36u);
  EXPECT_EQ(CliProcess::Value(*carol.WaitWord("EV_CALL_STARTED"), "session"), session);
  EXPECT_GE(std::stol(*carol.WaitWord("ANSWER")) - std::stol(*carol.WaitWord("EV_INCOMING_CALL")),
            300);
  EXPECT_EQ(CliProcess::Value(*alice.WaitWord("EXIT"), "status"), "0");
  // After its call the callee listens again, on the same port.
  const auto again = carol.WaitWord("LISTENING", 5000, 2);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(CliProcess::Value(*again, "port"), carolPort);
  EXPECT_THAT(carol.Words(), ElementsAre("LISTENING", "EV_INCOMING_CALL", "ANSWER",
                                         "EV_CALL_STARTED", "EV_PEER_JOINED", "EV_PEER_LEFT",
                                         "EV_CALL_ENDED", "PEER_STATS", "LISTENING"));

  // A caller that calls two brings the second into the call once it runs.
  // A callee's SIGINT hangs up: the caller hears it.
  CliProcess sam({"--port", "0", "--call", "127.0.0.1:" + carolPort, "--call",
                  "127.0.0.1:" + deePort, "--null-audio"});
  const auto second = sam.WaitWord("EV_PEER_JOINED", 10000, 2);
  ASSERT_TRUE(second.has_value()) << sam.Stderr();
  EXPECT_EQ(CliProcess::Value(*sam.WaitWord("EV_PEER_JOINED"), "name"), "carol");
  EXPECT_EQ(CliProcess::Value(*second, "name"), "dee");
  carol.Signal(SIGINT);
  EXPECT_EQ(carol.WaitExit(5000), 0);
  EXPECT_EQ(CliProcess::Value(sam.WaitWord("EV_PEER_LEFT").value_or(""), "name"), "carol");
  sam.Signal(SIGINT);
  EXPECT_EQ(sam.WaitExit(5000), 0);
  EXPECT_EQ(dee.WaitExit(5000), 0);
  EXPECT_THAT(dee.Words(),
              ElementsAre("LISTENING", "EV_INCOMING_CALL", "ANSWER", "EV_CALL_STARTED",
                          "EV_PEER_JOINED", "EV_PEER_LEFT", "EV_CALL_ENDED", "PEER_STATS", "EXIT"));

  bob.Signal(SIGTERM);
  EXPECT_EQ(bob.WaitExit(5000), 0);
  EXPECT_EQ(bob.Words().back(), "EXIT");
}

TEST(CliProcess, BadArgumentsExitWithTwoAndSayWhy) {
  CliProcess bad({"--port", "99999"});
  EXPECT_EQ(bad.WaitExit(), 2);
  EXPECT_THAT(bad.Stderr(), HasSubstr("--port: '99999' is not a port number"));
  EXPECT_TRUE(bad.NoOutput());

  // A play file that is no WAV is refused before anything starts.
  ScratchDir dir;
  const std::string notWav = dir.File("notes.wav");
  std::ofstream(notWav) << "not a sound\n";
  CliProcess badFile({"--port", "0", "--play-file", notWav});
  EXPECT_EQ(badFile.WaitExit(), 2);
  EXPECT_THAT(badFile.Stderr(), HasSubstr(notWav));
  EXPECT_TRUE(badFile.NoOutput());

  // So is a record directory that cannot be made.
  CliProcess badRecord({"--port", "0", "--record", notWav + "/recordings"});
  EXPECT_EQ(badRecord.WaitExit(), 2);
  EXPECT_THAT(badRecord.Stderr(), HasSubstr("--record"));
}

// A recording of `records` blocks of a tone, as the recorder writes them.
std::string MakeRecording(const std::string& path, int records) {
  const std::unique_ptr<GsmCodec> codec = CreateCodec();
  std::vector<int16_t> pcm(1600);
  std::ofstream out(path, std::ios::binary);
  for (int r = 0; r < records; ++r) {
    for (size_t i = 0; i < pcm.size(); ++i) {
      const auto n = static_cast<double>(static_cast<size_t>(r) * pcm.size() + i);
      pcm[i] = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 500 * n / 8000));
    }
    uint8_t frames[330];
    uint32_t count = 1600;
    codec->Encode(pcm, count, frames);
    out.write(reinterpret_cast<const char*>(frames), sizeof frames);
  }
  return path;
}

TEST(CliProcess, PlaysAndExportsARecordingAlike) {
  ScratchDir dir;
  const std::string rec = MakeRecording(dir.File("call.dvrec"), 5);
  CliProcess exporter({"--export-recording", rec, dir.File("call.wav")});
  ASSERT_EQ(exporter.WaitExit(), 0) << exporter.Stderr();
  EXPECT_TRUE(exporter.NoOutput());

  // Played into a file, every block arrives once and unchanged.
  CliProcess player({"--play-recording", rec, "--rec-file", dir.File("played.wav")});
  ASSERT_EQ(player.WaitExit(5000), 0) << player.Stderr();
  EXPECT_THAT(player.Words(), ElementsAre("PLAYING", "PROGRESS", "PLAYED"));
  EXPECT_EQ(CliProcess::Value(*player.WaitWord("PLAYING"), "records"), "5");
  EXPECT_EQ(CliProcess::Value(*player.WaitWord("PROGRESS"), "percent"), "100");
  // The last 800 ms are heard before PLAYED.
  EXPECT_GE(std::stol(*player.WaitWord("PLAYED")), 900);
  std::vector<int16_t> exported;
  std::vector<int16_t> played;
  std::string error;
  ASSERT_TRUE(ReadWavFile(dir.File("call.wav"), exported, nullptr, &error)) << error;
  ASSERT_TRUE(ReadWavFile(dir.File("played.wav"), played, nullptr, &error)) << error;
  EXPECT_EQ(exported.size(), 5u * 1600);
  EXPECT_EQ(played, exported);

  // A damaged recording: one line naming the file and the problem.
  std::ofstream(dir.File("odd.dvrec"), std::ios::binary) << std::string(331, 'x');
  CliProcess odd({"--export-recording", dir.File("odd.dvrec"), dir.File("odd.wav")});
  EXPECT_EQ(odd.WaitExit(), 1);
  EXPECT_EQ(odd.Stderr(), "dialvo-cli: " + dir.File("odd.dvrec") + ": The file is corrupted.\n");
  CliProcess missing({"--play-recording", dir.File("none.dvrec"), "--null-audio"});
  EXPECT_EQ(missing.WaitExit(), 1);
  EXPECT_THAT(missing.Stderr(), HasSubstr("none.dvrec: Failed to open the file"));
}

// The config command run in-process on the settings directory dir.
struct ConfigRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Drain(std::FILE* file) {
  std::string text;
  std::rewind(file);
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

ConfigRun Config(const std::string& dir, const std::vector<const char*>& words,
                 const std::string& input = "") {
  std::vector<const char*> args{"--config", dir.c_str(), "config"};
  args.insert(args.end(), words.begin(), words.end());
  std::FILE* in = std::tmpfile();
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  std::fputs(input.c_str(), in);
  std::rewind(in);
  ConfigRun run;
  run.status = cli::RunConfigCommand(args, in, out, err);
  std::fclose(in);
  run.out = Drain(out);
  run.err = Drain(err);
  return run;
}

TEST(CliConfig, GetsSetsAndUnsetsValuesTheProgramReads) {
  ScratchDir dir;
  EXPECT_TRUE(cli::IsConfigCommand(std::vector<const char*>{"config", "get", "User"}));
  EXPECT_TRUE(cli::IsConfigCommand(std::vector<const char*>{"--config", "d", "config"}));
  EXPECT_TRUE(cli::IsConfigCommand(std::vector<const char*>{"--config=d", "config", "get"}));
  EXPECT_FALSE(cli::IsConfigCommand(std::vector<const char*>{"--port", "0", "config"}));
  EXPECT_FALSE(cli::IsConfigCommand(std::vector<const char*>{"--config", "config"}));

  // Unset: status 1 and nothing printed, so that scripts can tell.
  ConfigRun unset = Config(dir.Path(), {"get", "User"});
  EXPECT_EQ(unset.status, 1);
  EXPECT_EQ(unset.out + unset.err, "");

  EXPECT_EQ(Config(dir.Path(), {"set", "autologin", "1"}).status, 0);  // names in any case
  EXPECT_EQ(Config(dir.Path(), {"set", "User", "alice"}).status, 0);
  // "-" reads the first line of stdin, without its line end.
  EXPECT_EQ(Config(dir.Path(), {"set", "Pass", "-"}, "s3cret pass\r\nnext line\n").status, 0);
  EXPECT_EQ(Config(dir.Path(), {"set", "UseAlternateListeningPort", "1"}).status, 0);
  EXPECT_EQ(Config(dir.Path(), {"set", "ListeningPort", "17200"}).status, 0);
  EXPECT_EQ(Config(dir.Path(), {"set", "DirectoryHost", "127.0.0.1:8721"}).status, 0);
  EXPECT_EQ(Config(dir.Path(), {"set", "--", "HttpProxyName", "--odd--"}).status, 0);
  const ConfigRun user = Config(dir.Path(), {"get", "USER"});
  EXPECT_EQ(user.status, 0);
  EXPECT_EQ(user.out, "alice\n");
  EXPECT_EQ(Config(dir.Path(), {"get", "ListeningPort"}).out, "17200\n");

  SettingsStore store(dir.Path());
  const StoredLogin login = LoadStoredLogin(store);
  EXPECT_EQ(login.autoLogin, 1u);
  EXPECT_EQ(login.user, "alice");
  EXPECT_EQ(login.password, "s3cret pass");
  EXPECT_EQ(LoadNetworkSettings(store).EffectiveListeningPort(), 17200u);
  EXPECT_EQ(DirectoryHost(store), "127.0.0.1:8721");
  EXPECT_EQ(store.ReadString(keys::kHttpProxyName), "--odd--");

  EXPECT_EQ(Config(dir.Path(), {"unset", "DirectoryHost"}).status, 0);
  EXPECT_EQ(Config(dir.Path(), {"get", "DirectoryHost"}).status, 1);

  // The client itself: the command runs before any option of a call is read.
  CliProcess set({"--config", dir.Path(), "config", "set", "IPType", "2"});
  EXPECT_EQ(set.WaitExit(), 0) << set.Stderr();
  EXPECT_TRUE(set.NoOutput());
  EXPECT_EQ(store.ReadDword(keys::kIPType, 0), 2u);
  CliProcess bad({"--config", dir.Path(), "config", "frob"});
  EXPECT_EQ(bad.WaitExit(), 2);
  EXPECT_THAT(bad.Stderr(), HasSubstr("unknown command 'frob'"));
}

TEST(CliConfig, BadRequestsExitWithTwoAndChangeNothing) {
  ScratchDir dir;
  ASSERT_EQ(Config(dir.Path(), {"set", "User", "alice"}).status, 0);
  const std::string before = ReadFile(dir.File(SettingsStore::kFileName));
  const std::string longName(64, 'a');
  const std::vector<std::tuple<std::vector<const char*>, std::string, const char*>> bad = {
      {{}, "", "config needs get, set or unset"},
      {{"list"}, "", "unknown command 'list'"},
      {{"get"}, "", "config get needs one KEY"},
      {{"get", "User", "extra"}, "", "config get needs one KEY"},
      {{"set", "User"}, "", "config set needs KEY VALUE"},
      {{"get", "Colour"}, "", "unknown setting 'Colour'"},
      {{"get", "User", "--verbose"}, "", "unknown option '--verbose'"},
      {{"set", "AutoLogin", "yes"}, "", "AutoLogin takes a number from 0 to 1, not 'yes'"},
      {{"set", "ListeningPort", "70000"}, "", "from 1 to 65535"},
      {{"set", "IPType", "-1"}, "", "from 0 to 4"},
      {{"set", "DirectoryHost", "host:0"}, "", "not HOST[:PORT]"},
      {{"set", "User", "-"}, "", "no line on stdin"},
      {{"set", "User", longName.c_str()}, "", "at most 63 characters"},
  };
  for (const auto& [words, input, message] : bad) {
    const ConfigRun run = Config(dir.Path(), words, input);
    EXPECT_EQ(run.status, 2) << message;
    EXPECT_THAT(run.err, HasSubstr(message));
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(ReadFile(dir.File(SettingsStore::kFileName)), before);
}

}  // namespace
}  // namespace dialvo::test
