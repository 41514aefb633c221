#pragma once
// What an engine's owner (and a test) may set: ports, periods, waits and the
// clock. The defaults are the values the desktop program runs with.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "audio/SoundBackend.h"
#include "base/Tick.h"

namespace dialvo {

struct EngineConfig {
  // UDP port of the listening socket; 0 takes any free port (NetCore's
  // ListeningPort tells which).
  uint16_t listeningPort = 1720;
  // Loopback port of the local connection; when it is taken, a free one is
  // used instead.
  uint16_t localPort = 2000;
  // Keep-alive timer period, and how often and after how much silence the
  // timer removes peers that stopped answering.
  uint32_t timerPeriodMs = 10000;
  uint32_t livenessIntervalMs = 60000;
  uint32_t livenessLimitMs = 45000;
  // One wait for an answer during call setup (three per request).
  uint32_t handshakeWaitMs = 3000;
  // The listening socket's receive wait; pending callers are reaped when it
  // runs out.
  uint32_t dispatchWaitMs = 3000;
  // The voice receive loop's wait for any peer socket.
  uint32_t receiveWaitMs = 3000;
  // Pause after a callee answered that it is busy.
  uint32_t busyPauseMs = 1000;
  // The play thread's pause before it opens the playback device (a ring
  // tone may still be fading).
  uint32_t playoutStartDelayMs = 500;
  // How often a caller's dialogue, waiting for the user's decision, looks
  // whether the engine is stopping.
  uint32_t decisionPollMs = 50;
  // How long a caller's request may wait for the user's decision before it
  // is turned away (the caller itself gives up after about 27 s).
  uint32_t decisionLimitMs = 27000;
  // After accepting a caller: how long it has to echo a ping from the
  // address it called from, and how often the ping goes out meanwhile.
  uint32_t returnRouteLimitMs = 3000;
  uint32_t returnRoutePingMs = 500;
  // Answers nobody can be held to (MSG_I_AM, ringing and the refusals, the
  // reject repeats) per source address: the bytes a burst may draw, enough
  // for a name query and two whole dialogues, and the bytes per second that
  // come back.
  uint32_t answerBurstBytes = 320;
  uint32_t answerRefillBytesPerSecond = 16;
  // The capture and playback devices' backend; the process default when
  // null.
  std::shared_ptr<SoundBackend> sound;
  // Tick counts for liveness and round trips; the system clock when null.
  // It must outlive the engine.
  Clock* clock = nullptr;
  // Called on the voice receive thread after each receive round with the
  // voice blocks it took in: lets a test see the rounds and hold the loop
  // between two of them.
  std::function<void(int)> afterReceiveRound;
};

// The mixer mixes at most this many parties, the local user included.
inline constexpr size_t kMaxPeers = 7;
// Callers whose requests are processed at the same time.
inline constexpr size_t kMaxPendingRequests = 16;
// Of those, from any one IP address.
inline constexpr size_t kMaxPendingPerSource = 4;
// Answers to a caller go out this many times, this far apart.
inline constexpr int kAnswerRepeats = 5;
inline constexpr uint32_t kAnswerGapMs = 20;

}  // namespace dialvo
