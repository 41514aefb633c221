#include "server/Text.h"

#include <limits>

namespace dialvo::server {

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-';
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Length of the UTF-8 sequence starting at text[i] that XML 1.0 may carry,
// or 0 when it is broken or a character XML forbids.
size_t XmlCharLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  if (lead < 0x80) {
    const bool allowed = lead >= 0x20 || lead == '\t' || lead == '\n' || lead == '\r';
    return (allowed && lead != 0x7F) ? 1 : 0;
  }
  size_t length = 0;
  uint32_t cp = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07u;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3Fu);
  }
  const uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < minimum[length] || cp > 0x10FFFF) return 0;  // overlong or out of range
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;           // surrogates
  if (cp == 0xFFFE || cp == 0xFFFF) return 0;
  if (cp >= 0x80 && cp <= 0x9F) return 0;  // C1 controls
  return length;
}

}  // namespace

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  AsciiLowerInPlace(out);
  return out;
}

void AsciiLowerInPlace(std::string& text) {
  for (char& c : text) c = LowerAscii(c);
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t length = XmlCharLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

bool IsValidUserName(std::string_view name) {
  if (name.empty() || name.size() > 63 || !IsValidUtf8(name)) return false;
  constexpr std::string_view kForbidden = "*&'~ ,\"<>?%!@:;`()+=|\\/";
  for (char c : name) {
    if (static_cast<uint8_t>(c) < 0x20 || kForbidden.find(c) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

bool IsPlausibleHost(std::string_view text) {
  if (text.empty() || text.size() > 253) return false;
  for (char c : text) {
    if (!IsHostChar(c)) return false;
  }
  return true;
}

bool IsPlausibleHostPort(std::string_view text) {
  if (text.empty() || text.size() > 260) return false;
  for (char c : text) {
    if (!IsHostChar(c) && c != ':' && c != '[' && c != ']') return false;
  }
  return true;
}

void AppendEscapedMarkup(std::string& out, std::string_view text) {
  size_t plain = 0;  // start of the run of bytes that need no escaping
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<uint8_t>(text[i]);
    if (b >= 0x20 && b < 0x7F && b != '&' && b != '<' && b != '>' && b != '"' && b != '\'') {
      ++i;
      continue;
    }
    out.append(text.substr(plain, i - plain));
    switch (b) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default: {
        const size_t length = XmlCharLength(text, i);
        if (length == 0) {
          out += '?';
        } else {
          out.append(text.substr(i, length));
          i += length - 1;
        }
      }
    }
    ++i;
    plain = i;
  }
  out.append(text.substr(plain));
}

std::string EscapeMarkup(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  AppendEscapedMarkup(out, text);
  return out;
}

namespace {

// Each byte that keep() refuses becomes marker and two hexadecimal digits.
std::string EscapeBytes(std::string_view text, std::string_view marker,
                        bool (*keep)(uint8_t byte)) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto b = static_cast<uint8_t>(c);
    if (keep(b)) {
      out += c;
    } else {
      out += marker;
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    }
  }
  return out;
}

}  // namespace

std::string EscapeForLog(std::string_view text) {
  return EscapeBytes(text, "\\x", [](uint8_t b) { return b >= 0x20 && b < 0x7F; });
}

std::string PercentEncode(std::string_view text) {
  return EscapeBytes(text, "%", [](uint8_t b) {
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9');
  });
}

int64_t LeadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  int64_t value = 0;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max() / 10 - 9;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > kMax) return std::numeric_limits<int64_t>::max();
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace dialvo::server
