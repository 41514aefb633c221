#pragma once
// Diagnostic trace lines. By default they are discarded; a hook (the command
// line client's --trace, a test) may collect them.
#include <functional>
#include <string_view>

namespace dialvo {

using TraceHook = std::function<void(std::string_view line)>;

// Replaces the process-wide hook; an empty hook discards again.
void SetTraceHook(TraceHook hook);

// printf-style; formats only while a hook is set.
void TraceLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace dialvo
