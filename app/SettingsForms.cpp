#include "app/SettingsForms.h"

#include <system_error>

#include "settings/Autostart.h"

namespace dialvo {

namespace {

// Digits only, without a sign; false for anything else or a value that does
// not fit 32 bits.
bool ParseUnsigned(std::string_view text, uint64_t& value) {
  const std::string trimmed = TrimBlanks(text);
  if (trimmed.empty() || trimmed.size() > 10) return false;
  value = 0;
  for (const char c : trimmed) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value <= UINT32_MAX;
}

}  // namespace

bool ParsePort(std::string_view text, uint32_t& port, std::string& error) {
  uint64_t value = 0;
  if (!ParseUnsigned(text, value)) {
    error = texts::kNotAnInteger;
    return false;
  }
  if (value < 1 || value > 65535) {
    error = texts::kPortOutOfRange;
    return false;
  }
  port = static_cast<uint32_t>(value);
  return true;
}

NetworkSettingsValues NetworkValuesFrom(const NetworkSettings& settings) {
  NetworkSettingsValues v;
  v.useProxy = settings.useHttpProxy != 0;
  v.proxyName = settings.httpProxyName;
  v.proxyPort = std::to_string(settings.httpProxyPort);
  v.useAlternatePort = settings.useAlternateListeningPort != 0;
  v.listeningPort = std::to_string(settings.EffectiveListeningPort());
  switch (settings.ipType) {
    case 1:
    case 2:
      v.choice = ConnectionChoice::kFirewall;
      v.autoDetectFirewall = settings.ipType == 1;
      v.firewallAddress = settings.configuredIp;
      break;
    case 3:
    case 4:
      v.choice = ConnectionChoice::kPrivate;
      v.lanCalls = settings.ipType == 3;
      v.lanAddress = settings.configuredIp;
      break;
    default:
      v.choice = ConnectionChoice::kDirect;
      break;
  }
  return v;
}

NetworkOkPlan PlanNetworkOk(const NetworkSettingsValues& values, const NetworkSettings& current) {
  NetworkOkPlan plan;
  NetworkSettings& s = plan.settings;
  s.useHttpProxy = values.useProxy ? 1 : 0;
  s.httpProxyName = TrimBlanks(values.proxyName);
  s.useAlternateListeningPort = values.useAlternatePort ? 1 : 0;

  // The numbers first, as the fields are read.
  if (values.useProxy) {
    uint64_t proxyPort = 0;
    if (!ParseUnsigned(values.proxyPort, proxyPort)) {
      plan.error = texts::kNotAnInteger;
      return plan;
    }
    if (proxyPort > 65535) {
      plan.error = texts::kPortOutOfRange;
      return plan;
    }
    s.httpProxyPort = static_cast<uint32_t>(proxyPort);
  } else {
    // A field the user cannot edit does not hold OK up.
    uint32_t proxyPort = 0;
    std::string ignored;
    s.httpProxyPort =
        ParsePort(values.proxyPort, proxyPort, ignored) ? proxyPort : current.httpProxyPort;
  }
  s.listeningPort = kDefaultListeningPort;
  if (values.useAlternatePort && !ParsePort(values.listeningPort, s.listeningPort, plan.error)) {
    return plan;
  }

  switch (values.choice) {
    case ConnectionChoice::kFirewall:
      s.ipType = values.autoDetectFirewall ? 1 : 2;
      s.configuredIp = TrimBlanks(values.firewallAddress);
      break;
    case ConnectionChoice::kPrivate:
      s.ipType = values.lanCalls ? 3 : 4;
      s.configuredIp = TrimBlanks(values.lanAddress);
      break;
    case ConnectionChoice::kDirect:
      s.ipType = 0;
      break;
  }

  if (values.useProxy && s.httpProxyName.empty()) {
    plan.error = texts::kProxyNameMissing;
  } else if (values.useProxy && s.httpProxyPort == 0) {
    plan.error = texts::kProxyPortMissing;
  } else if (s.ipType == 2 && s.configuredIp.empty()) {
    plan.error = texts::kFirewallAddressMissing;
  } else if (s.ipType == 3 && s.configuredIp.empty()) {
    plan.error = texts::kLanAddressMissing;
  }
  if (!plan.error.empty()) return plan;
  plan.askSameExternalAddress = values.useProxy && s.ipType == 1;
  plan.showFirewallInformation = s.ipType == 1 || s.ipType == 2;
  plan.showPrivateNetworkNote = s.ipType == 3;
  return plan;
}

std::string FirewallInformationText(uint32_t port) {
  return "You have to configure your firewall or NAT to \"forward\" packets sent to the UDP port-" +
         std::to_string(port) + " to the internal IP address of this computer within your network.";
}

ProgramSettingsValues LoadProgramSettings(SettingsStore& store, const ProgramSettingsEnv& env) {
  ProgramSettingsValues v;
  v.autoStart = IsAutoStartOn(env.autostartDirectory);
  v.ringTime = std::to_string(NormaliseRingTime(store));
  v.autoMixer = ReadDword(store, keys::kAutoMMSettings) != 0;
  v.recordingsDirectory = store.ReadString(keys::kRecordingsDirectory);
  v.popupBuddyOnline = ReadDword(store, keys::kPopupBuddyOnline) != 0;
  v.popupCongestion = ReadDword(store, keys::kPopupNetworkCongestion) != 0;
  v.popupJoinLeave = ReadDword(store, keys::kPopupBuddyJoinLeave) != 0;
  return v;
}

std::string CheckProgramSettings(const ProgramSettingsValues& values, const SpaceProbe& space) {
  uint64_t ring = 0;
  if (!ParseUnsigned(values.ringTime, ring) || ring < 1 || ring > 30) {
    return texts::kRingTimeRange;
  }
  const std::string dir = TrimBlanks(values.recordingsDirectory);
  if (dir.size() < 2) return texts::kDirectoryInvalid;
  // The folder is made only after the check: ask the one that holds it.
  const std::optional<uint64_t> free = space(NearestExistingFolder(dir));
  if (!free) return texts::kFreeSpaceUnknown;
  if (*free < kMinimumRecordingSpace) return texts::kFreeSpaceLow;
  return {};
}

std::string SaveProgramSettings(SettingsStore& store, const ProgramSettingsValues& values,
                                const ProgramSettingsEnv& env) {
  if (std::string refused = CheckProgramSettings(values, env.space); !refused.empty()) {
    return refused;
  }
  const std::string dir = TrimBlanks(values.recordingsDirectory);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return "The recordings directory could not be made:\n" + dir + "\n" + ec.message();
  std::string error;
  if (!SetAutoStart(values.autoStart, env.program, env.autostartDirectory, &error)) {
    return "The autostart entry could not be changed:\n" + error;
  }
  uint64_t ring = 0;
  ParseUnsigned(values.ringTime, ring);
  const std::string g = SettingsStore::kMainGroup;
  const auto flag = [](bool on) { return static_cast<uint32_t>(on ? 1 : 0); };
  const bool saved = store.Apply({
      {g, keys::kRingTime, static_cast<uint32_t>(ring)},
      {g, keys::kAutoMMSettings, flag(values.autoMixer)},
      {g, keys::kRecordingsDirectory, dir},
      {g, keys::kPopupBuddyJoinLeave, flag(values.popupJoinLeave)},
      {g, keys::kPopupNetworkCongestion, flag(values.popupCongestion)},
      {g, keys::kPopupBuddyOnline, flag(values.popupBuddyOnline)},
  });
  if (!saved) return "The settings could not be saved in " + store.FilePath().string() + ".";
  return {};
}

}  // namespace dialvo
