#pragma once
// dialvo-cli's presence: logs in, lets the keep-alive rounds run on the
// client's own loop, prints buddies coming and going, picks the buddy to call
// by name, and logs off at the end. Everything but the observer calls runs
// on the client's thread; the presence's other threads only post messages to
// the client's queue.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/ThreadMessages.h"
#include "cli/EventLine.h"
#include "cli/Options.h"
#include "engine/EngineEvents.h"
#include "service/Presence.h"
#include "settings/SettingsStore.h"

namespace dialvo::cli {

// Messages of the presence in the client's queue, beside engine events.
inline constexpr uint32_t WM_APP_REQUEST = kUserMessageBase + 2;      // wParam: an AppRequest
inline constexpr uint32_t WM_PRESENCE_NOTICE = kUserMessageBase + 3;  // notices are waiting

// A call to a buddy as its online record allows it.
struct BuddyCall {
  std::string host;
  uint16_t port = 0;
  std::string callee;  // the name as the service spells it
  // The callee checks that it is the one called, unless the buddy is directly
  // on the internet (connection type 0), where its address is proof enough.
  uint32_t confirmUser = 0;
  // Why the buddy cannot be called: "behind-firewall" (it published no
  // reachable address), "no-address", "no-port"; empty when it can.
  std::string refusal;
};
BuddyCall CallFor(const OnlineBuddy& buddy);

class CliPresence final : public PresenceObserver {
 public:
  using PrintFn = std::function<void(std::string_view word, const Fields& fields)>;
  // Told the name of the user logged in, or "" after a logoff.
  using UserFn = std::function<void(const std::string& loggedInUser)>;
  // Pumps the client's events while a login or logoff waits.
  using Pump = std::function<void()>;

  // window: the client's queue; it must outlive this object.
  CliPresence(const PresenceOptions& options, IWindowTarget& window, PrintFn print, UserFn user);
  ~CliPresence() override;
  CliPresence(const CliPresence&) = delete;
  CliPresence& operator=(const CliPresence&) = delete;

  // Starts the keep-alive rounds and logs in, publishing port as the
  // listening port. False when this first login did not succeed.
  bool Start(uint16_t port, const Pump& pump);
  // A message of the client's queue that is not an engine event.
  void OnMessage(const ThreadMessage& message, const Pump& pump);

  enum class CallStep { kNone, kCall, kCannot };
  // Asked while no call runs: kCall once the buddy to call is online and
  // may be called (then call holds where), kCannot each time its record
  // changes to one that forbids the call, else kNone.
  CallStep NextCall(BuddyCall& call);
  // Stops the rounds and logs off.
  void Stop(const Pump& pump);

  // PresenceObserver
  void PostAppRequest(AppRequest request) override;
  void ShowNotice(const Notice& notice) override;
  void LoginFinished(const LoginOutcome& outcome) override;
  void LoggedOut() override;
  void OnlineChanged(const OnlineRefresh& refresh) override;

 private:
  void Handle(AppRequest request, const Pump& pump);
  // Runs a login or logoff; requests that its pump brings wait until it ends.
  void Exclusive(const std::function<void()>& work, const Pump& pump);
  // Adds the buddies of the command line to the list the service gave.
  void AddBuddies();
  void PrintNotices();

  const PresenceOptions options_;
  IWindowTarget& window_;
  const PrintFn print_;
  const UserFn user_;
  SettingsStore settings_;
  std::unique_ptr<PresenceClient> client_;

  bool busy_ = false;  // a login or logoff runs
  bool stopped_ = false;
  std::vector<AppRequest> deferred_;
  const char* logoffReason_ = "ended";
  bool callPending_ = false;
  bool recheck_ = false;  // the online list changed since NextCall last looked
  std::optional<OnlineBuddy> refused_;

  std::mutex noticeMutex_;  // guards notices_; taken by every presence thread and the client's
  std::deque<std::string> notices_;
};

}  // namespace dialvo::cli
