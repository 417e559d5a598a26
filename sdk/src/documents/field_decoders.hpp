// The field encoding of hexadecimal 256-bit values.
#pragma once

#include <string>
#include <string_view>

#include "crypto/failure.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk::serde_wrapper {

struct U256SerdeAsRadix16Prefix0xString {
  // from_str_radix(text, 16); on failure "u256 from string error: " and the
  // FromStrRadixErr text.
  static Expected<U256, std::string> decode(std::string_view text);
  // The JSON string "0x" + 64 lower-case digits, quotes included.
  static std::string encode(const U256& value);
};

// The text form of a packed key or address: from_str_radix(text, 16); on
// failure the bare FromStrRadixErr text, without prefix.
Expected<U256, std::string> decode_key_hex(std::string_view text);

}  // namespace quillet::sdk::serde_wrapper
