#pragma once
#include <string>

namespace dialvo {

// A new conference identifier: the 36-character text form of a random GUID.
std::string NewSessionId();

// A session offered by a peer names files later, so only the GUID text form
// is taken: 36 characters, 8-4-4-4-12 hexadecimal digits (either letter
// case) separated by hyphens.
bool IsValidSessionId(const std::string& id);

// Identifiers and user names compare without regard to letter case.
bool SameIgnoringCase(const std::string& a, const std::string& b);

}  // namespace dialvo
