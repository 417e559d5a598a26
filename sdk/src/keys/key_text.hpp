// Conversions between bytes, hexadecimal text, 256-bit integers and the two
// prime fields, and the parsing of private key text.
//
// Byte orders: a field element's canonical value is four 64-bit limbs, least
// significant first, and so is a U256; the byte forms taken and given here are
// big-endian unless the name says otherwise; text forms are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "crypto/field/fr.hpp"
#include "crypto/field/prime_field_error.hpp"
#include "crypto/jubjub/fs.hpp"
#include "crypto/jubjub/point.hpp"
#include "sdk/src/error.hpp"
#include "sdk/src/numbers/parse_errors.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk::keys {

using field::Fr;
using jubjub::Fs;

// The error of turning bytes into a private key: the two ways it fails.
class ConversionError {
 public:
  struct IncorrectInputSize {
    size_t size;
    size_t expected_size;
  };
  struct PrimeFieldDecodingError {
    field::PrimeFieldDecodingError error;
  };
  using Variant = std::variant<IncorrectInputSize, PrimeFieldDecodingError>;

  ConversionError(Variant v) : v_(std::move(v)) {}

  const Variant& variant() const { return v_; }

  // "Incorrect input size. Actual: {size}, expected: {expected_size}",
  // "Cannot convert into prime field value: {inner}".
  std::string to_string() const;
  // IncorrectInputSize { size: 31, expected_size: 32 }, or the variant name
  // with the inner error's debug form in parentheses.
  std::string debug() const;
  // The inner error's text for the field variant.
  std::optional<std::string> cause() const;
  // The general error: this text, with the cause (if any) as its one cause.
  Error to_error() const;

 private:
  Variant v_;
};

struct FeConvert {
  // The Fs element whose canonical value is the 32 big-endian `bytes`. Fails
  // with IncorrectInputSize for any other length and with
  // PrimeFieldDecodingError for a value of s or more.
  static Expected<Fs, ConversionError> from_bytes(std::span<const uint8_t> bytes);

  // The canonical value as 64 lower-case hexadecimal digits, big-endian,
  // leading zeros kept, no prefix.
  static std::string to_hex(const Fs& v);
  static std::string to_hex(const Fr& v);
};

// The lower-case hexadecimal digit of `nibble` (0 to 15), computed without a
// branch or a table so that secret bytes may be written.
inline char hex_digit_ct(unsigned nibble) {
  const int n = static_cast<int>(nibble & 15);
  return static_cast<char>(n + '0' + (((9 - n) >> 8) & ('a' - '0' - 10)));
}

// Appends the lower-case hexadecimal digits of `bytes`, two a byte, without a
// branch or a table. The caller reserves the room, so that no reallocation
// leaves a copy of secret digits behind.
inline void append_hex_ct(std::string& out, std::span<const uint8_t> bytes) {
  for (uint8_t b : bytes) {
    out.push_back(hex_digit_ct(b >> 4));
    out.push_back(hex_digit_ct(b & 15));
  }
}

// Whether the canonical value `v` is below s, the subgroup order, without a
// branch: `v` is usually a private key or a candidate for one. Only the
// verdict is made public.
bool below_subgroup_order(const jubjub::FsRepr& v);

// The canonical value of `v`; always fits.
U256 fr_to_u256(const Fr& v);

// The Fr element of value `v`; fails with the field's own decoding error
// ("{repr} is not an element of the field") when v is not below r.
Expected<Fr, field::PrimeFieldDecodingError> u256_to_fr(const U256& v);

// The 32 bytes read as a little-endian integer.
U256 le_to_u256(std::span<const uint8_t, 32> bytes);

// The private key denoted by `text`: any number of leading "0x" (lower-case x
// only), then exactly 64 hexadecimal digits of either case, big-endian, with a
// value below s. Errors, in the order they are looked for: "Odd number of
// digits"; "Invalid character {c} at position {i}" (i counted after the
// prefixes); "Incorrect input size. Actual: {n}, expected: 32" (n decoded
// bytes); "Cannot convert into prime field value: {repr} is not an element of
// the field" with the field's text as cause. Never fails hard.
Result<Fs> private_key_from_string(std::string_view text);

// Why a private key is refused, by category, in words that quote none of it:
// not 64 hex digits (or not 32 bytes), a character that is no hex digit, a
// value not below s, the value 0, a seed under 32 bytes. Parsing a text
// gives the first three; the others come from private_key.hpp.
enum class KeyFault { length, character, range, zero, seed_length };

// What private_key_from_string gives, its error as a category (the odd
// digit count and the size are `length`): the same checks in the same order
// and time, without returning the error texts that quote the key.
Expected<Fs, KeyFault> private_key_from_text(std::string_view text);

}  // namespace quillet::sdk::keys
