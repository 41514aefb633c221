#pragma once
// Runs the engine for dialvo-cli: one engine at a time, a fresh one after
// each call, the call to place, the answers to give, and a line per event.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/EventLine.h"
#include "cli/Options.h"
#include "cli/Presence.h"
#include "engine/CallRequest.h"
#include "engine/EngineEvents.h"
#include "engine/EventSink.h"
#include "engine/IncomingRequest.h"
#include "engine/NetCore.h"

namespace dialvo::cli {

class CliRunner {
 public:
  // sound: the devices' backend (null: the process default).
  CliRunner(CliOptions options, std::FILE* out, std::shared_ptr<SoundBackend> sound = nullptr);
  ~CliRunner();
  CliRunner(const CliRunner&) = delete;
  CliRunner& operator=(const CliRunner&) = delete;

  // Runs until stop is set or, with --exit-on-call-end, until the call is
  // over; hangs up and returns the exit status.
  int Run(const std::atomic<bool>& stop);

 private:
  using Steady = std::chrono::steady_clock;
  // A caller waiting for this client's decision.
  struct Waiting {
    std::shared_ptr<IncomingRequest> request;  // null once decided
    std::string name;
    std::optional<Steady::time_point> due;  // none: never decided (ignore)
    uint32_t decision = IncomingRequest::kReject;
  };

  void Print(std::string_view word, const Fields& fields = {});
  void StartEngine();
  // Hangs up and deletes the engine, printing what it reports meanwhile.
  void StopEngine();
  // Places a call; extra goes on the CALLING line.
  void StartCall(const CallTarget& target, const std::string& callee, bool confirmUser,
                 const Fields& extra = {});
  void JoinCall();
  // Handles the next event, waiting up to waitMs for it.
  void Pump(uint32_t waitMs);
  void OnEvent(uint32_t code, uintptr_t data);
  void Answer(std::shared_ptr<IncomingRequest> request);
  void Decide(Waiting& waiting, uint32_t decision);
  void DecideDue();
  uint32_t MsUntilNextDeadline() const;
  // The call is over: leave, or listen again with a fresh engine.
  void AfterCall();
  // Logs in (--login); false when that failed.
  bool StartPresence();
  // Calls the buddy of --call-buddy once it is online and the client is free.
  void CallBuddyWhenOnline();
  // Handles what arrives while a login or logoff waits.
  void KeepServing();
  // The local user name for the engine: the one logged in, else --user.
  const std::string& EngineUser() const;
  // With --record: saves the stopped engine's recording into the directory;
  // the line to print (RECORDING or RECORDING_FAILED), empty word when
  // nothing was recorded.
  std::pair<std::string, Fields> SaveRecording();

  const CliOptions options_;
  std::FILE* const out_;
  const std::shared_ptr<SoundBackend> sound_;
  const Steady::time_point start_ = Steady::now();
  uint16_t port_;

  EventQueueWindow window_;  // outlives every engine and sink
  std::unique_ptr<EventSink> sink_;
  std::unique_ptr<NetCore> engine_;
  PeerBook book_;
  std::vector<Waiting> waiting_;

  std::unique_ptr<CallRequest> request_;
  std::thread callThread_;
  std::atomic<bool> callDone_{false};
  std::atomic<bool> callConnected_{false};

  bool stoppingEngine_ = false;
  bool callTookPlace_ = false;
  bool callEnded_ = false;
  bool listenFailed_ = false;
  std::optional<Steady::time_point> hangupAt_;
  std::optional<int> exitStatus_;

  std::string callAddress_;  // host:port of the call placed, if any
  size_t nextCall_ = 0;      // the next of the further --call to place
  std::unique_ptr<CliPresence> presence_;
  std::string loggedInUser_;
};

}  // namespace dialvo::cli
