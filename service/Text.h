#pragma once
// ASCII text helpers for names and protocol words, which compare without
// regard to case in several places.
#include <string>
#include <string_view>

namespace dialvo {

std::string ToLower(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// Bytes for which keep is false become %XX (upper-case hexadecimal).
std::string PercentEncode(std::string_view text, bool (*keep)(unsigned char c));
// Without white space (spaces, tabs, line breaks) at either end.
std::string_view TrimSpace(std::string_view text);

}  // namespace dialvo
