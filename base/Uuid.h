#pragma once
#include <string>

namespace dialvo {

// A fresh random GUID in its 36-character text form (8-4-4-4-12 lower-case
// hexadecimal digits with hyphens, no braces).
std::string NewGuidText();

}  // namespace dialvo
