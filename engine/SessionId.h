#pragma once
#include <string>

namespace dialvo {

// A new conference identifier: the 36-character text form of a random GUID.
std::string NewSessionId();

// Identifiers and user names compare without regard to letter case.
bool SameIgnoringCase(const std::string& a, const std::string& b);

}  // namespace dialvo
