#include "crypto/field/prime_field_error.hpp"

namespace quillet::field {

std::string PrimeFieldDecodingError::to_string() const {
  return text + " is not an element of the field";
}

std::string PrimeFieldDecodingError::debug() const { return "NotInField(\"" + text + "\")"; }

}  // namespace quillet::field
