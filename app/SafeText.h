#pragma once
// Text that comes from other people (peer names, service messages) as the
// window may show it: valid UTF-8 decoded, control characters removed, and
// the length capped so that nobody can fill a dialog with it.
#include <QString>
#include <string_view>

namespace dialvo {

inline constexpr int kMaxNameChars = 64;
inline constexpr int kMaxMessageChars = 1024;

QString SafeText(std::string_view raw, int maxChars = kMaxNameChars);

}  // namespace dialvo
