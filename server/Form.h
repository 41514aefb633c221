#pragma once
// Form-encoded request bodies (application/x-www-form-urlencoded): the
// program's commands and the web pages' forms.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dialvo::server {

// Decodes one form component: %XX becomes the byte, '+' a space (browsers
// send it; the program never does). nullopt when a '%' is not followed by
// two hexadecimal digits.
std::optional<std::string> DecodeFormComponent(std::string_view text);

// The parameters of a body in their order. Names are matched without regard
// to case: the program writes "user=" for one command and "User=" for the
// others.
class Form {
 public:
  // nullopt when any name or value is badly percent-encoded.
  static std::optional<Form> Parse(std::string_view body);
  static Form FromPairs(std::vector<std::pair<std::string, std::string>> pairs);

  // The first value of the name, or empty when it is missing.
  std::string Get(std::string_view name) const;
  bool Has(std::string_view name) const;
  // Every value of the name, in order.
  std::vector<std::string> GetAll(std::string_view name) const;
  const std::vector<std::pair<std::string, std::string>>& Pairs() const { return pairs_; }

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
};

}  // namespace dialvo::server
