#pragma once
#include <cstdint>

namespace dialvo {

// Time-outs are in milliseconds; kInfinite waits without limit.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Results of the waits that report how they ended.
inline constexpr uint32_t kWaitObject0 = 0;
inline constexpr uint32_t kWaitTimeout = 258;
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;

}  // namespace dialvo
