// The text encodings of document fields: each decoder turns the text of a
// JSON string member into its value, or into the message the document's
// error reports (its position is added by the reader).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/failure.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk::documents {

struct U32SerdeAsString {
  // Unsigned decimal; on failure "u64 from string error: " (the prefix is
  // shared with the 64-bit encoding; callers match on it) and the
  // ParseIntError text.
  static Expected<uint32_t, std::string> decode(std::string_view text);
};

struct U64SerdeAsString {
  // Unsigned decimal; on failure "u64 from string error: " and the
  // ParseIntError text.
  static Expected<uint64_t, std::string> decode(std::string_view text);
};

struct U128SerdeAsString {
  // Unsigned decimal; on failure "decode u128 string error: " and the
  // ParseIntError text.
  static Expected<unsigned __int128, std::string> decode(std::string_view text);
};

struct I128SerdeAsRadix16Prefix0xString {
  // Every leading "0x" is removed, then a signed hexadecimal parse; on
  // failure "decode hex string error: " and the ParseIntError text.
  static Expected<__int128, std::string> decode(std::string_view text);
};

struct U256SerdeAsRadix16Prefix0xString {
  // from_str_radix(text, 16); on failure "u256 from string error: " and the
  // FromStrRadixErr text.
  static Expected<U256, std::string> decode(std::string_view text);
};

// The text form of a packed key or address: from_str_radix(text, 16); on
// failure the bare FromStrRadixErr text, without prefix.
Expected<U256, std::string> decode_key_hex(std::string_view text);

}  // namespace quillet::sdk::documents
