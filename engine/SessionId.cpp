#include "engine/SessionId.h"

#include <strings.h>

#include "base/Uuid.h"

namespace dialvo {

std::string NewSessionId() { return NewGuidText(); }

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace dialvo
