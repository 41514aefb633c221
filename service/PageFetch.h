#pragma once
// One web page of the service, fetched for the program's small browser
// window: http and https only, the network settings' proxy, a time limit
// and a size limit.
#include <cstddef>
#include <cstdint>
#include <string>

#include "settings/SettingsStore.h"

namespace dialvo {

inline constexpr size_t kMaxPageBytes = 1u << 20;

// False with error set for another scheme, a failure, an HTTP error status
// or a page larger than kMaxPageBytes.
bool FetchPage(const SettingsStore& settings, const std::string& url, uint32_t timeoutMs,
               std::string& page, std::string* error);

// Whether url names an http or https page.
bool IsWebAddress(const std::string& url);

}  // namespace dialvo
