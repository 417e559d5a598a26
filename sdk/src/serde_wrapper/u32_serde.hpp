// The field encoding of 32-bit decimal values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/failure.hpp"

namespace quillet::sdk::serde_wrapper {

struct U32SerdeAsString {
  // Unsigned decimal; on failure "u64 from string error: " (the prefix is
  // shared with the 64-bit encoding; callers match on it) and the
  // ParseIntError text.
  static Expected<uint32_t, std::string> decode(std::string_view text);
};

}  // namespace quillet::sdk::serde_wrapper
