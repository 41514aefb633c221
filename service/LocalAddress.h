#pragma once
// Which address to publish to the service, and whether the service (or the
// proxy in front of it) can be reached at all.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/Settings.h"

namespace dialvo {

// The word published instead of an address when the service is reachable
// only from a private address.
inline constexpr const char* kLanAddress = "LAN";

// Exactly "127.0.0.1", or a text starting with "10.", "192.168.", "169.254.",
// or "172." with a second number from 16 to 31.
bool IsPrivateAddress(std::string_view dotted);

// The IPv4 addresses of this PC's network interfaces that are up, loopback
// interfaces left out, in the system's order.
std::vector<std::string> HostAddresses();

struct LocalAddressProbe {
  // The directory host ("host[:port]" or an address); the proxy of the
  // network settings replaces it as target when one is in use.
  std::string directoryHost;
  // Where the PC's own addresses come from (tests give their own).
  std::function<std::vector<std::string>()> hostAddresses = HostAddresses;
  // Limit of each connection attempt.
  uint32_t connectTimeoutMs = 20000;
  // Asked every few milliseconds while a connection attempt waits; true
  // gives the detection up (empty result), for a program that shuts down.
  std::function<bool()> cancelled;
};

// A public address of this PC from which the target accepts a connection;
// else "LAN" when it accepts one from the system's own choice of address;
// else empty (target unknown or unreachable, or a public address that
// cannot be bound).
std::string GetLocalAddress(const NetworkSettings& settings, const LocalAddressProbe& probe);

// The address-state text after a detection, and what it means for the
// behind-firewall mark of the call logic.
struct AddressStatus {
  enum class Firewall { kUnchanged, kBehind, kNotBehind };
  std::string text;
  Firewall firewall = Firewall::kUnchanged;
};
// nullopt: the text stays as it was (connection types above 4).
std::optional<AddressStatus> AddressStatusFor(const NetworkSettings& settings,
                                              const std::string& localAddress);
inline constexpr const char* kCheckingServerText = "Checking server";

}  // namespace dialvo
