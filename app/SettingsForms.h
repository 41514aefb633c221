#pragma once
// What the Network Settings and Program Settings dialogs hold, and the
// checks their OK runs, without widgets: the dialogs copy their fields into
// these records and show what the checks answer.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "settings/FreeSpace.h"
#include "settings/Settings.h"
#include "settings/SettingsStore.h"

namespace dialvo {

// ---- Network Settings ----

// The three radio buttons; the firewall and private choices each cover two
// connection types, told apart by their check box.
enum class ConnectionChoice { kDirect, kFirewall, kPrivate };

struct NetworkSettingsValues {
  bool useProxy = false;
  std::string proxyName{};
  std::string proxyPort{};  // as typed
  bool useAlternatePort = false;
  std::string listeningPort{};  // as typed; shows 1720 while the box is off
  ConnectionChoice choice = ConnectionChoice::kDirect;
  bool autoDetectFirewall = true;  // firewall: the service finds the address
  std::string firewallAddress{};
  bool lanCalls = true;  // private network: calls from the LAN are taken
  std::string lanAddress{};
};

NetworkSettingsValues NetworkValuesFrom(const NetworkSettings& settings);

// What OK does with the values, in this order: refuse with error (nothing
// saved, the dialog stays); ask whether proxy and firewall share their
// address (No: stay); show the port-forward information; note that only
// LAN calls can come; save settings.
struct NetworkOkPlan {
  std::string error;
  NetworkSettings settings;
  bool askSameExternalAddress = false;
  bool showFirewallInformation = false;
  bool showPrivateNetworkNote = false;
};
// current: the stored settings (a disabled proxy port that is not a number
// keeps its stored value).
NetworkOkPlan PlanNetworkOk(const NetworkSettingsValues& values, const NetworkSettings& current);

// The first text of the port-forward information, with the listening port.
std::string FirewallInformationText(uint32_t port);

// Reads a port: digits only, 1 to 65535. error gets the message to show.
bool ParsePort(std::string_view text, uint32_t& port, std::string& error);

namespace texts {
inline constexpr const char* kNetworkDuringCall =
    "You cannot change the network setting while you are on a call.\n"
    "Please try after you have finished the call";
inline constexpr const char* kProxyNameMissing =
    "You have selected - \"Use a proxy server\".\n\n"
    "Please enter the IP address or the hostname proxy.\n\n"
    "If you do not use a proxy, uncheck the \"Use a proxy server\" checkbox";
inline constexpr const char* kProxyPortMissing = "Please enter port for HTTP proxy.";
inline constexpr const char* kFirewallAddressMissing =
    "Please enter the IP-Address or the hostname of the firewall\nOR\n"
    "Choose to automatically detect the firewall's IP address";
inline constexpr const char* kLanAddressMissing =
    "Please enter the internal IP address or the hostname of your computer";
inline constexpr const char* kNotAnInteger = "Please enter an integer.";
inline constexpr const char* kPortOutOfRange = "Please enter a port number between 1 and 65535.";
inline constexpr const char* kSameExternalAddress =
    "Does your proxy and firewall have same external IP address?";
inline constexpr const char* kPortForwardSteps =
    "The specific steps required to setup port forward on a firewall depend largely on the type "
    "of hardware or software you're using. For that reason, we recommend that you contact the "
    "manufacturer/publisher's website or help manual for specific instructions.";
inline constexpr const char* kPrivateNetworkNote =
    "You will be able to receive calls only from other users in your private network.";
inline constexpr const char* kPersonalFirewallAdvice =
    "Further, if you have installed a personal firewall program (for example ufw or firewalld) "
    "in your computer, make sure you have configured it properly so that Orvanta Dialvo can "
    "receive incoming connections at the UDP Listening port. If not, the installed firewall may "
    "block incoming calls.";

inline constexpr const char* kRingTimeRange = "Please enter an integer between 1 and 30.";
inline constexpr const char* kDirectoryInvalid = "The recordings directory specified is invalid";
inline constexpr const char* kFreeSpaceUnknown =
    "Failed to retrieve the free space for the selected recordings directory's drive";
inline constexpr const char* kFreeSpaceLow =
    "The recordings directory's drive does not have enough space.\n"
    "Please select a directory in a drive with at least 100MB free space.";
}  // namespace texts

// ---- Program Settings ----

struct ProgramSettingsValues {
  bool autoStart = false;
  std::string ringTime{};  // as typed
  bool autoMixer = true;
  std::string recordingsDirectory{};
  bool popupBuddyOnline = true;
  bool popupCongestion = true;
  bool popupJoinLeave = true;
};

// Where the program settings reach beyond the settings file.
struct ProgramSettingsEnv {
  std::filesystem::path autostartDirectory;  // empty: the desktop's own
  std::filesystem::path program;             // what autostart runs
  SpaceProbe space = AvailableSpace;
};

// Reading for the dialog: a ring time out of range is written back held.
ProgramSettingsValues LoadProgramSettings(SettingsStore& store, const ProgramSettingsEnv& env);

// The checks of OK: the message to show, or empty when all pass.
std::string CheckProgramSettings(const ProgramSettingsValues& values, const SpaceProbe& space);

// Checks, makes the recordings directory, then saves every value. The
// message to show when anything failed; nothing is saved after a failed
// check or a directory that cannot be made.
std::string SaveProgramSettings(SettingsStore& store, const ProgramSettingsValues& values,
                                const ProgramSettingsEnv& env);

}  // namespace dialvo
