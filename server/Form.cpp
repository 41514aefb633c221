#include "server/Form.h"

#include <algorithm>

#include "server/Text.h"

namespace dialvo::server {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

namespace {

// Decodes into out; false on a '%' without two hexadecimal digits.
bool DecodeInto(std::string_view text, std::string& out) {
  // A plain loop: find_first_of with a set calls memchr once per character.
  if (std::none_of(text.begin(), text.end(), [](char c) { return c == '%' || c == '+'; })) {
    out.assign(text);
    return true;
  }
  out.clear();
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c != '%') {
      out += c;
    } else {
      if (i + 2 >= text.size()) return false;
      const int hi = HexValue(text[i + 1]);
      const int lo = HexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    }
  }
  return true;
}

}  // namespace

std::optional<Form> Form::Parse(std::string_view body) {
  Form form;
  form.pairs_.reserve(static_cast<size_t>(std::count(body.begin(), body.end(), '&')) + 1);
  while (!body.empty()) {
    const size_t amp = body.find('&');
    const std::string_view piece = body.substr(0, amp);
    body = (amp == std::string_view::npos) ? std::string_view() : body.substr(amp + 1);
    if (piece.empty()) continue;  // "a=1&&b=2" and a trailing '&'
    const size_t eq = piece.find('=');
    auto& [name, value] = form.pairs_.emplace_back();
    if (!DecodeInto(piece.substr(0, eq), name) ||
        !DecodeInto(eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1),
                    value)) {
      return std::nullopt;
    }
  }
  return form;
}

Form Form::FromPairs(std::vector<std::pair<std::string, std::string>> pairs) {
  Form form;
  form.pairs_ = std::move(pairs);
  return form;
}

std::string Form::Get(std::string_view name) const {
  for (const auto& [key, value] : pairs_) {
    if (EqualsIgnoreCase(key, name)) return value;
  }
  return {};
}

bool Form::Has(std::string_view name) const {
  for (const auto& pair : pairs_) {
    if (EqualsIgnoreCase(pair.first, name)) return true;
  }
  return false;
}

std::vector<std::string_view> Form::GetAll(std::string_view name) const {
  std::vector<std::string_view> values;
  for (const auto& [key, value] : pairs_) {
    if (EqualsIgnoreCase(key, name)) values.push_back(value);
  }
  return values;
}

}  // namespace dialvo::server
