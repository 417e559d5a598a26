// Fixed-width integer text parsers of the field encodings.
//
// Rules: an empty text is Empty; one leading '+' is skipped (and, for the
// signed parser, one leading '-' makes the value negative); a sign alone is
// InvalidDigit; then every byte must be a digit of the radix. Digits are read
// left to right, so an overflow is reported as soon as the value leaves the
// type's range (PosOverflow, or NegOverflow below the signed minimum), even
// if a bad digit follows.
#pragma once

#include <cstdint>
#include <string_view>

#include "crypto/failure.hpp"
#include "sdk/src/numbers/parse_errors.hpp"

namespace quillet::sdk {

Expected<uint32_t, ParseIntError> parse_u32(std::string_view text);
Expected<uint64_t, ParseIntError> parse_u64(std::string_view text);
Expected<unsigned __int128, ParseIntError> parse_u128(std::string_view text);
// Signed hexadecimal digits (either case), no prefix.
Expected<__int128, ParseIntError> parse_i128_hex(std::string_view text);

}  // namespace quillet::sdk
