// The field encoding of 64-bit decimal values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/failure.hpp"

namespace quillet::sdk::serde_wrapper {

struct U64SerdeAsString {
  // Unsigned decimal; on failure "u64 from string error: " and the
  // ParseIntError text.
  static Expected<uint64_t, std::string> decode(std::string_view text);
};

}  // namespace quillet::sdk::serde_wrapper
