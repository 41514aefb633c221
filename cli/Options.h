#pragma once
// dialvo-cli's command line: what the user asked for, or why it is wrong.
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "audio/SoundBackend.h"

namespace dialvo::cli {

enum class AnswerMode { kAccept, kReject, kIgnore };

struct CallTarget {
  std::string host;
  uint16_t port = 1720;
};

// Being online with the presence service (--login and the options that go
// with it).
struct PresenceOptions {
  std::string configDir;  // empty: the default settings directory
  std::string server;     // directory host; empty: the stored one
  std::string login;      // empty: no presence at all
  std::string password;
  std::set<std::string> buddies;  // lower case
  uint32_t keepAliveSec = 45;
  std::string callBuddy;  // lower case; empty: none
};

// --connectivity-test [MODE]: which test; kStored follows the stored
// connection type.
enum class ConnectivityWord { kStored, kReachability, kPortForward };

struct CliOptions {
  uint16_t port = 1720;    // 0: any free port
  bool portGiven = false;  // --port was given
  std::string user = "UNKNOWN";
  std::optional<CallTarget> call;
  std::string callee;  // non-empty: the callee must confirm this user
  // Further --call: parties brought into the call, in turn, once it runs
  // (a caller joins a running call only when asked by one of its members).
  std::vector<CallTarget> moreCalls;
  PresenceOptions presence;
  AnswerMode answer = AnswerMode::kAccept;
  uint32_t answerDelayMs = 0;
  std::optional<uint32_t> hangupAfterSec;
  // --liveness: how long a silent peer is kept; the engine's periods follow.
  std::optional<uint32_t> livenessMs;
  bool exitOnCallEnd = false;
  // Sound: the backend asked for with --audio (or implied by the options
  // below), the WAV captured from and the WAV played into.
  std::optional<SoundBackendKind> audio;
  bool nullAudio = false;
  std::string playFile;
  std::string recFile;
  bool loop = false;
  // --record: every call is recorded and saved into this directory.
  std::string recordDir;
  // --export-recording IN OUT and --play-recording IN: work on a recording
  // instead of taking calls.
  std::string exportRecording;
  std::string exportWav;
  std::string playRecording;
  // --play-sound NAME: plays one of the program's sounds and exits.
  std::string playSound;
  // --connectivity-test: test whether others can reach this PC instead of
  // taking calls.
  bool connectivityTest = false;
  ConnectivityWord connectivityMode = ConnectivityWord::kStored;
};

// The sound backend the options ask for (PulseAudio unless told otherwise).
SoundBackendOptions SoundOptionsFor(const CliOptions& options);

struct ParseResult {
  enum Kind { kRun, kHelp, kVersion, kError };
  Kind kind = kRun;
  CliOptions options;
  std::string error;  // for kError: one line naming the option and the problem
};

// args: the arguments after the program name. Options take their value as
// the next argument or after '='.
ParseResult ParseOptions(std::span<const char* const> args);

const char* UsageText();

}  // namespace dialvo::cli
