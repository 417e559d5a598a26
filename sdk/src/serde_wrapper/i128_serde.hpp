// The field encodings of 128-bit values.
#pragma once

#include <string>
#include <string_view>

#include "crypto/failure.hpp"

namespace quillet::sdk::serde_wrapper {

struct I128SerdeAsRadix16Prefix0xString {
  // Every leading "0x" is removed, then a signed hexadecimal parse; on
  // failure "decode hex string error: " and the ParseIntError text.
  static Expected<__int128, std::string> decode(std::string_view text);
};

struct U128SerdeAsString {
  // Unsigned decimal; on failure "decode u128 string error: " and the
  // ParseIntError text.
  static Expected<unsigned __int128, std::string> decode(std::string_view text);
};

}  // namespace quillet::sdk::serde_wrapper
