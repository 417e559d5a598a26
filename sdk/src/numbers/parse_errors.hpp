// Errors of turning text into numbers: hexadecimal and decimal text to U256,
// and the fixed-width integer parsers of the field encodings.
//
// Each error has a display text (to_string) and a debug form (debug) in
// record notation; hard failures that unwrap one of them print the debug form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "sdk/src/error.hpp"

namespace quillet::sdk {

// `c` written as a character literal between single quotes: printable ASCII
// as itself, \' \\ \n \r \t \0 for those, any other byte as \u{xx} (lower-case
// hex, no leading zeros).
std::string char_literal(uint8_t c);

// Byte-level hexadecimal decoding error.
struct FromHexError {
  enum class Kind { InvalidHexCharacter, OddLength, InvalidStringLength };

  Kind kind = Kind::OddLength;
  uint8_t c = 0;      // the offending byte; InvalidHexCharacter only
  size_t index = 0;   // its zero-based byte position; InvalidHexCharacter only

  static FromHexError invalid_hex_character(uint8_t c, size_t index) {
    return {Kind::InvalidHexCharacter, c, index};
  }
  static FromHexError odd_length() { return {Kind::OddLength, 0, 0}; }
  static FromHexError invalid_string_length() { return {Kind::InvalidStringLength, 0, 0}; }

  // "Invalid character 'g' at position 3", "Odd number of digits",
  // "Invalid string length".
  std::string to_string() const;
  // The variant alone: InvalidHexCharacter { c: 'g', index: 3 }, OddLength,
  // InvalidStringLength.
  std::string variant_debug() const;
  // The wrapped form that U256 parsing reports:
  // FromHexError { inner: <variant_debug()> }.
  std::string debug() const;

  bool operator==(const FromHexError&) const = default;
};

// Decimal text error.
enum class FromDecStrErr { InvalidCharacter, InvalidLength };

// "a character is not in the range 0-9", "the number is too large for the type".
std::string to_string(FromDecStrErr e);
// InvalidCharacter, InvalidLength.
std::string debug(FromDecStrErr e);

enum class FromStrRadixErrKind { InvalidCharacter, InvalidLength, UnsupportedRadix };

// Error of U256::from_str_radix: a kind and, for hexadecimal and decimal
// failures, the underlying error.
struct FromStrRadixErr {
  FromStrRadixErrKind kind = FromStrRadixErrKind::UnsupportedRadix;
  std::optional<std::variant<FromHexError, FromDecStrErr>> source;

  // InvalidCharacter for a bad digit, InvalidLength otherwise; keeps `e`.
  static FromStrRadixErr from_hex(const FromHexError& e);
  // The kind of the same name; keeps `e`.
  static FromStrRadixErr from_dec(FromDecStrErr e);
  static FromStrRadixErr unsupported_radix() { return {FromStrRadixErrKind::UnsupportedRadix, {}}; }

  // The source's text if there is one, else the kind's own text.
  std::string to_string() const;
  // The general error: to_string(), caused by the source's text if there is
  // a source (so a printed error repeats it under "Caused by:").
  Error to_error() const;
  // FromStrRadixErr { kind: InvalidCharacter, source: Some(Hex(FromHexError {
  // inner: ... })) }, with Dec(InvalidLength) or None as the other sources.
  std::string debug() const;

  bool operator==(const FromStrRadixErr&) const = default;
};

// Error of the fixed-width integer parsers (parse_int.hpp).
struct ParseIntError {
  enum class Kind { Empty, InvalidDigit, PosOverflow, NegOverflow, Zero };

  Kind kind = Kind::Empty;

  // "cannot parse integer from empty string", "invalid digit found in
  // string", "number too large to fit in target type", "number too small to
  // fit in target type", "number would be zero for non-zero type".
  std::string to_string() const;
  // ParseIntError { kind: PosOverflow }.
  std::string debug() const;

  bool operator==(const ParseIntError&) const = default;
};

}  // namespace quillet::sdk
