#pragma once
// Form-encoded request bodies (application/x-www-form-urlencoded): the
// program's commands and the web pages' forms.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dialvo::server {

// The parameters of a body in their order. Names are matched without regard
// to case: the program writes "user=" for one command and "User=" for the
// others.
class Form {
 public:
  // Decodes %XX to the byte and '+' to a space (browsers send it; the
  // program never does). nullopt when a '%' is not followed by two
  // hexadecimal digits.
  static std::optional<Form> Parse(std::string_view body);
  static Form FromPairs(std::vector<std::pair<std::string, std::string>> pairs);

  // The first value of the name, or empty when it is missing.
  std::string Get(std::string_view name) const;
  bool Has(std::string_view name) const;
  // Every value of the name, in order; views into this form.
  std::vector<std::string_view> GetAll(std::string_view name) const;
  const std::vector<std::pair<std::string, std::string>>& Pairs() const { return pairs_; }

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
};

}  // namespace dialvo::server
