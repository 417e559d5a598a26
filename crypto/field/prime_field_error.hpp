// The error of turning a canonical integer that is not below the modulus into
// a field element.
#pragma once

#include <string>

namespace quillet::field {

// Its one case, NotInField, carries the rejected value's text form.
struct PrimeFieldDecodingError {
  std::string text;

  static constexpr const char* kDescription = "not an element of the field";

  // `text` followed by " is not an element of the field".
  std::string to_string() const;
  // NotInField("text").
  std::string debug() const;
};

}  // namespace quillet::field
