#pragma once
// Small text helpers shared by the answers, the web pages and the log: user
// name rules, markup escaping and number reading. Pure functions.
#include <cstdint>
#include <string>
#include <string_view>

namespace dialvo::server {

// ASCII letters lowered; other bytes unchanged. Names compare by this key.
std::string AsciiLower(std::string_view text);
void AsciiLowerInPlace(std::string& text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// Blanks (space, tab, CR, LF) removed on both sides.
std::string_view Trim(std::string_view text);

bool IsValidUtf8(std::string_view text);

// A user or buddy name as the program accepts it: 1 to 63 bytes of UTF-8,
// no control characters and none of * & ' ~ space , " < > ? % ! @ : ; `
// ( ) + = | \ /. The limit keeps names within the call protocol's 64-byte
// text fields.
bool IsValidUserName(std::string_view name);

// A dotted address or a host name (letters, digits, '.' and '-'): what a
// buddy can be called at.
bool IsPlausibleHost(std::string_view text);
// host, host:port or [v6]:port as a Host header carries it.
bool IsPlausibleHostPort(std::string_view text);

// Escapes & < > " ' for XML and HTML text and attributes. Bytes that XML
// cannot carry (control characters, broken UTF-8) become '?', so an answer
// stays well-formed whatever went into it.
std::string EscapeMarkup(std::string_view text);
void AppendEscapedMarkup(std::string& out, std::string_view text);

// Printable ASCII as it is, every other byte as \xHH: safe for one log line.
std::string EscapeForLog(std::string_view text);
// Letters and digits as they are, every other byte as %HH: safe in a URL.
std::string PercentEncode(std::string_view text);

// Leading blanks skipped, then decimal digits up to the first non-digit;
// 0 when there are none. Saturates instead of overflowing.
int64_t LeadingNumber(std::string_view text);

}  // namespace dialvo::server
