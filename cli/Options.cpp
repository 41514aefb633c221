#include "cli/Options.h"

#include <charconv>
#include <string_view>

#include "engine/wire/Message.h"
#include "service/BuddyList.h"
#include "service/ServiceAddress.h"
#include "service/Text.h"
#include "settings/Settings.h"

namespace dialvo::cli {

namespace {

constexpr const char* kUsage =
    "Usage: dialvo-cli [options]\n"
    "       dialvo-cli [--config DIR] config get|set|unset KEY [VALUE]\n"
    "Orvanta Dialvo headless voice client: listens for calls, places one if asked,\n"
    "and prints every engine event on its own line.\n"
    "\n"
    "  --port N            listening UDP port (default 1720; 0 takes any free port)\n"
    "  --user NAME         local user name (default UNKNOWN)\n"
    "  --call HOST[:PORT]  place a call once started (port default 1720); given again,\n"
    "                      the further parties are called into the call in turn\n"
    "  --callee NAME       the user expected at the other end; sets the confirm-user flag\n"
    "  --answer MODE       incoming calls and conference requests: accept, reject or\n"
    "                      ignore (never decide) (default accept)\n"
    "  --answer-delay MS   wait this long before deciding (default 0)\n"
    "  --hangup-after SEC  hang up this many seconds after the call started\n"
    "  --liveness MS       drop a peer silent for MS ms (default 45000); keep-alives go\n"
    "                      out every MS/8 ms and the check runs every MS/4 ms (by\n"
    "                      default every 10 s and 60 s)\n"
    "  --exit-on-call-end  exit when the call ends or the call attempt fails\n"
    "                      (status 0 when a call took place, 1 when none did)\n"
    "  --audio KIND        sound devices: pulse (the desktop's default source and\n"
    "                      sink), file or null (default pulse)\n"
    "  --play-file WAV     capture from this WAV (8000 Hz mono 16-bit) instead of the\n"
    "                      microphone; implies --audio file\n"
    "  --rec-file WAV      play into this WAV instead of the speakers (each call is\n"
    "                      appended); implies --audio file\n"
    "  --loop              repeat the play file instead of going silent at its end\n"
    "  --null-audio        use no sound devices (--audio null)\n"
    "  --record DIR        record every call and save it into DIR (made if missing) as\n"
    "                      recording_<Mon>_<dd>_<yy>_<hh>.<mm>.<ss>.dvrec; prints\n"
    "                      RECORDING path=, or RECORDING_FAILED kept= reason= with the\n"
    "                      file that keeps it (unfinished files live in DIR/.partial)\n"
    "  --help, --version\n"
    "\n"
    "Output: one line per event, flushed at once:\n"
    "  <ms> <WORD> [key=value ...]\n"
    "<ms> counts milliseconds since start. <WORD> is an engine event (EV_RINGING,\n"
    "EV_PEER_JOINED, ...) or one of the client's own words: LISTENING port= user=,\n"
    "CALLING addr=, ANSWER name= decision=, HANGUP, EXIT status=, and after each\n"
    "call one PEER_STATS line per peer: sent= received= lost= dropped= blocks and\n"
    "rtt= (the last round trip in ms, - when none was measured).\n"
    "Keys: peer= (a number given at EV_PEER_JOINED; 0 for traffic before a peer\n"
    "joined or on the local voice loop), name=, addr=ip:port, bytes=, peers=\n"
    "(connected peers), session=, gap=, cookie=, ms=, queued=, version=, port=,\n"
    "peak= (the loudest sample of a captured or played block). Values never hold\n"
    "blanks: a blank, '%', '=' or a control character is written as %XX.\n"
    "\n"
    "After each call the engine is replaced by a fresh one that listens again.\n"
    "SIGINT and SIGTERM hang up, turn away callers still waiting for an answer and\n"
    "exit with status 0. Bad arguments exit with status 2.\n"
    "\n"
    "Presence (with --login):\n"
    "  --config DIR          settings directory (default $DIALVO_CONFIG_DIR, else\n"
    "                        $XDG_CONFIG_HOME/Orvanta); the service's directory answer\n"
    "                        is kept there too\n"
    "  --server HOST[:PORT]  directory host of the service (default from the settings)\n"
    "  --login NAME          log in at start as NAME, the local user name while logged in\n"
    "  --password P          the password of NAME\n"
    "  --buddy NAME          a buddy to watch (repeatable); added to the buddy list\n"
    "  --keepalive SEC       keep-alive interval (default 45): each round sends iamup,\n"
    "                        then asks for the online list\n"
    "  --call-buddy NAME     call this buddy once it is online (a buddy as --buddy)\n"
    "Lines: LOGIN ok, LOGIN refused <description>, LOGIN failed <reason> (unreachable,\n"
    "request-failed, busy, in-progress), ONLINE <name> <address> <port> <iptype> when a\n"
    "buddy comes online or changes, OFFLINE <name>, CANNOT_CALL name= reason= (a buddy\n"
    "behind a firewall, or without address or port), NOTICE <text> (a message of the\n"
    "service), LOGOFF <why> (exit, ended, unreachable). These values are escaped like\n"
    "the others. A first login that fails ends the client with status 1; on exit it\n"
    "logs off.\n"
    "\n"
    "Recordings (instead of taking calls; not with the call and presence options):\n"
    "  --export-recording IN.dvrec OUT.wav  write the recording as a 16-bit 8000 Hz mono\n"
    "                        WAV; status 1 when it cannot be read or written\n"
    "  --play-recording IN.dvrec  play it through the sound backend (--audio, --rec-file):\n"
    "                        PLAYING records=, PROGRESS percent= as it goes, PLAYED at the\n"
    "                        end; SIGINT stops it (STOPPED)\n"
    "  --play-sound NAME     play one of the program's sounds (phonering, hangup, click,\n"
    "                        buddyin, buddyout, beep) to its end; status 1 when it cannot\n"
    "\n"
    "Connectivity test (instead of taking calls; only with --config, --server, --port):\n"
    "  --connectivity-test [reachability|port-forward]  asks the service to send test\n"
    "                        datagrams to this PC and waits for one on the listening port\n"
    "                        (the stored one unless --port is given). Without a mode the\n"
    "                        stored connection type decides; port-forward names the\n"
    "                        stored ConfiguredIP when there is one. Prints the test's log\n"
    "                        lines; SIGINT cancels. Status 0 when the datagram arrived,\n"
    "                        1 when not (or no test fits the connection type)\n"
    "\n"
    "Settings: 'config get KEY' prints one stored value of the settings (status 1 when\n"
    "it is not set), 'config set KEY VALUE' stores one, 'config unset KEY' removes it;\n"
    "see dialvo-cli config --help.\n";

template <typename T>
std::optional<T> Number(std::string_view text, T max) {
  T value{};
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value > max) return std::nullopt;
  return value;
}

ParseResult Fail(std::string error) {
  ParseResult result;
  result.kind = ParseResult::kError;
  result.error = std::move(error);
  return result;
}

bool IsPresenceOption(std::string_view arg) {
  return arg == "--config" || arg == "--server" || arg == "--login" || arg == "--password" ||
         arg == "--buddy" || arg == "--keepalive" || arg == "--call-buddy";
}

// Takes the value of one presence option; the error, or empty.
std::string ReadPresenceOption(std::string_view arg, std::string_view v, PresenceOptions& p) {
  const std::string text(v);
  const std::string name(arg);
  if (arg == "--config") {
    if (v.empty()) return "--config needs a directory";
    p.configDir = text;
  } else if (arg == "--server") {
    const ServiceHost host = ParseServiceHost(v);
    if (host.host.empty() || host.port == 0) {
      return "--server: '" + text + "' is not HOST[:PORT] or an http(s) address";
    }
    p.server = text;
  } else if (arg == "--login") {
    p.login = TrimBlanks(v);
    if (p.login.empty() || p.login.size() >= wire::kTextField) {
      return "--login: a user name has 1 to 63 characters";
    }
  } else if (arg == "--password") {
    if (v.empty()) return "--password: the password is empty";
    p.password = text;
  } else if (arg == "--keepalive") {
    const auto sec = Number<uint32_t>(v, 86400u);
    if (!sec || *sec == 0) return "--keepalive: '" + text + "' is not 1 to 86400 seconds";
    p.keepAliveSec = *sec;
  } else {
    // Buddy names are kept trimmed and in lower case.
    std::string buddy = ToLower(TrimBlanks(v));
    if (buddy.empty() || buddy.size() >= wire::kTextField) {
      return name + ": a buddy name has 1 to 63 characters";
    }
    if (HasInvalidBuddyCharacter(buddy)) return name + ": '" + text + "': " + kInvalidBuddyNameText;
    if (arg == "--buddy") {
      p.buddies.insert(std::move(buddy));
    } else {
      p.callBuddy = std::move(buddy);
    }
  }
  return {};
}

// The presence options that make no sense as given, or empty.
// firstGiven: the first presence option other than --login, if any.
std::string CheckPresence(const CliOptions& o, std::string_view firstGiven) {
  const PresenceOptions& p = o.presence;
  if (p.login.empty()) return firstGiven.empty() ? "" : std::string(firstGiven) + " needs --login";
  if (p.password.empty()) return "--login needs --password";
  if (!p.callBuddy.empty() && o.call) return "--call and --call-buddy: one call at a time";
  if (EqualsNoCase(p.callBuddy, p.login)) return "--call-buddy: " + p.login + " cannot call itself";
  return {};
}

// Options that only make sense for taking calls (and so not with a
// recording to play or export).
bool IsCallOption(std::string_view arg) {
  return IsPresenceOption(arg) || arg == "--port" || arg == "--user" || arg == "--call" ||
         arg == "--callee" || arg == "--answer" || arg == "--answer-delay" ||
         arg == "--hangup-after" || arg == "--liveness" || arg == "--exit-on-call-end" ||
         arg == "--play-file" || arg == "--loop" || arg == "--record";
}

bool IsSoundOption(std::string_view arg) {
  return arg == "--audio" || arg == "--rec-file" || arg == "--null-audio";
}

// A recording to play or export excludes taking calls; exporting needs no
// sound either. The error, or empty.
std::string CheckRecordingUse(const CliOptions& o, std::string_view callGiven,
                              std::string_view soundGiven) {
  const bool play = !o.playRecording.empty();
  const bool exporting = !o.exportRecording.empty();
  if (play && exporting) return "--play-recording and --export-recording: one at a time";
  if (!play && !exporting) return {};
  const std::string name = play ? "--play-recording" : "--export-recording";
  if (!callGiven.empty()) {
    return name + " plays no call: it cannot go with " + std::string(callGiven);
  }
  if (exporting && !soundGiven.empty()) {
    return "--export-recording uses no sound device: it cannot go with " + std::string(soundGiven);
  }
  return {};
}

}  // namespace

const char* UsageText() { return kUsage; }

ParseResult ParseOptions(std::span<const char* const> args) {
  ParseResult result;
  CliOptions& o = result.options;
  std::string_view presenceGiven;
  std::string_view callGiven;
  std::string_view soundGiven;
  std::string_view otherGiven;  // the first option the connectivity test does not take
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::optional<std::string_view> inlineValue;
    if (const size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      inlineValue = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    const bool isFlag = arg == "--help" || arg == "--version" || arg == "--exit-on-call-end" ||
                        arg == "--null-audio" || arg == "--loop";
    if (isFlag && inlineValue) return Fail(std::string(arg) + " takes no value");
    // The option's value: after '=' or the next argument.
    const auto value = [&]() -> std::optional<std::string_view> {
      if (inlineValue) return inlineValue;
      if (i + 1 < args.size()) return std::string_view(args[++i]);
      return std::nullopt;
    };
    if (arg == "--connectivity-test") {
      o.connectivityTest = true;
      // The mode word is optional: a next argument that is no option is one.
      std::optional<std::string_view> word = inlineValue;
      if (!word && i + 1 < args.size() && !std::string_view(args[i + 1]).starts_with("--")) {
        word = args[++i];
      }
      if (!word) continue;
      if (*word == "reachability") {
        o.connectivityMode = ConnectivityWord::kReachability;
      } else if (*word == "port-forward") {
        o.connectivityMode = ConnectivityWord::kPortForward;
      } else {
        return Fail("--connectivity-test: '" + std::string(*word) +
                    "' is not reachability or port-forward");
      }
      continue;
    }
    if (otherGiven.empty() && arg != "--config" && arg != "--server" && arg != "--port") {
      otherGiven = arg;
    }
    if (callGiven.empty() && IsCallOption(arg)) callGiven = arg;
    if (soundGiven.empty() && IsSoundOption(arg)) soundGiven = arg;
    if (arg == "--help") {
      result.kind = ParseResult::kHelp;
      return result;
    }
    if (arg == "--version") {
      result.kind = ParseResult::kVersion;
      return result;
    }
    if (IsPresenceOption(arg)) {
      if (arg != "--login" && presenceGiven.empty()) presenceGiven = arg;
      const std::optional<std::string_view> v = value();
      if (!v) return Fail(std::string(arg) + " needs a value");
      if (std::string error = ReadPresenceOption(arg, *v, o.presence); !error.empty()) {
        return Fail(std::move(error));
      }
      continue;
    }
    if (arg == "--exit-on-call-end") {
      o.exitOnCallEnd = true;
      continue;
    }
    if (arg == "--null-audio") {
      o.nullAudio = true;
      continue;
    }
    if (arg == "--loop") {
      o.loop = true;
      continue;
    }
    if (arg == "--play-sound") {
      const std::optional<std::string_view> name = value();
      if (!name || name->empty()) return Fail("--play-sound needs a sound's name");
      o.playSound = std::string(*name);
      continue;
    }
    if (arg == "--play-recording" || arg == "--export-recording") {
      const std::optional<std::string_view> in = value();
      if (!in || in->empty()) return Fail(std::string(arg) + " needs a recording file");
      if (arg == "--play-recording") {
        o.playRecording = std::string(*in);
        continue;
      }
      if (i + 1 >= args.size() || *args[i + 1] == '\0') {
        return Fail("--export-recording needs IN.dvrec OUT.wav");
      }
      o.exportRecording = std::string(*in);
      o.exportWav = args[++i];
      continue;
    }
    if (arg == "--record") {
      const std::optional<std::string_view> v = value();
      if (!v || v->empty()) return Fail("--record needs a directory");
      o.recordDir = std::string(*v);
      continue;
    }
    const bool known = arg == "--port" || arg == "--user" || arg == "--call" || arg == "--callee" ||
                       arg == "--answer" || arg == "--answer-delay" || arg == "--hangup-after" ||
                       arg == "--liveness" || arg == "--audio" || arg == "--play-file" ||
                       arg == "--rec-file";
    if (!known) {
      if (arg.starts_with("--")) return Fail("unknown option '" + std::string(args[i]) + "'");
      return Fail("unexpected argument '" + std::string(arg) + "'");
    }
    const std::optional<std::string_view> v = value();
    if (!v) return Fail(std::string(arg) + " needs a value");
    const std::string text(*v);
    if (arg == "--port") {
      auto port = Number<uint32_t>(*v, 65535);
      if (!port) return Fail("--port: '" + text + "' is not a port number (0 to 65535)");
      o.port = static_cast<uint16_t>(*port);
      o.portGiven = true;
    } else if (arg == "--user" || arg == "--callee") {
      if (v->empty() || v->size() >= wire::kTextField) {
        return Fail(std::string(arg) + ": a user name has 1 to 63 characters");
      }
      (arg == "--user" ? o.user : o.callee) = text;
    } else if (arg == "--call") {
      CallTarget target;
      const size_t colon = v->rfind(':');
      target.host = text.substr(0, colon);
      if (colon != std::string_view::npos) {
        auto port = Number<uint32_t>(v->substr(colon + 1), 65535);
        if (!port || *port == 0)
          return Fail("--call: '" + text + "' has no valid port (1 to 65535)");
        target.port = static_cast<uint16_t>(*port);
      }
      if (target.host.empty()) return Fail("--call: '" + text + "' names no host");
      if (o.call) {
        o.moreCalls.push_back(target);
      } else {
        o.call = target;
      }
    } else if (arg == "--answer") {
      if (*v == "accept") {
        o.answer = AnswerMode::kAccept;
      } else if (*v == "reject") {
        o.answer = AnswerMode::kReject;
      } else if (*v == "ignore") {
        o.answer = AnswerMode::kIgnore;
      } else {
        return Fail("--answer: '" + text + "' is not accept, reject or ignore");
      }
    } else if (arg == "--answer-delay") {
      auto ms = Number<uint32_t>(*v, 86400000u);
      if (!ms) return Fail("--answer-delay: '" + text + "' is not a number of milliseconds");
      o.answerDelayMs = *ms;
    } else if (arg == "--hangup-after") {
      auto sec = Number<uint32_t>(*v, 86400u);
      if (!sec) return Fail("--hangup-after: '" + text + "' is not a number of seconds");
      o.hangupAfterSec = *sec;
    } else if (arg == "--liveness") {
      // Below 800 ms the keep-alives would flood the peers.
      auto ms = Number<uint32_t>(*v, 86400000u);
      if (!ms || *ms < 800) return Fail("--liveness: '" + text + "' is not 800 ms or more");
      o.livenessMs = *ms;
    } else if (arg == "--audio") {
      o.audio = ParseSoundBackendKind(*v);
      if (!o.audio) return Fail("--audio: '" + text + "' is not pulse, file or null");
    } else if (arg == "--play-file" || arg == "--rec-file") {
      if (v->empty()) return Fail(std::string(arg) + " needs a file name");
      (arg == "--play-file" ? o.playFile : o.recFile) = text;
    }
  }
  if (o.connectivityTest) {
    // It needs the settings, the service and the port, nothing else.
    if (!otherGiven.empty()) {
      return Fail("--connectivity-test cannot go with " + std::string(otherGiven));
    }
    if (o.portGiven && o.port == 0) return Fail("--connectivity-test needs a port from 1 to 65535");
    return result;
  }
  if (std::string error = CheckRecordingUse(o, callGiven, soundGiven); !error.empty()) {
    return Fail(std::move(error));
  }
  if (std::string error = CheckPresence(o, presenceGiven); !error.empty())
    return Fail(std::move(error));
  if (!o.callee.empty() && !o.call) return Fail("--callee needs --call");
  if (o.nullAudio && o.audio && *o.audio != SoundBackendKind::kNull) {
    return Fail("--null-audio contradicts --audio");
  }
  const bool files = !o.playFile.empty() || !o.recFile.empty();
  if (files && (o.nullAudio || (o.audio && *o.audio != SoundBackendKind::kFile))) {
    return Fail(std::string(o.playFile.empty() ? "--rec-file" : "--play-file") +
                " needs the file backend (--audio file)");
  }
  if (o.loop && o.playFile.empty()) return Fail("--loop needs --play-file");
  return result;
}

SoundBackendOptions SoundOptionsFor(const CliOptions& options) {
  SoundBackendOptions sound;
  if (options.audio) {
    sound.kind = *options.audio;
  } else if (options.nullAudio) {
    sound.kind = SoundBackendKind::kNull;
  } else if (!options.playFile.empty() || !options.recFile.empty()) {
    sound.kind = SoundBackendKind::kFile;
  }
  sound.playFile = options.playFile;
  sound.recFile = options.recFile;
  sound.loop = options.loop;
  return sound;
}

}  // namespace dialvo::cli
