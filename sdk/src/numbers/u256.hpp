// U256, the unsigned 256-bit integer of every number that crosses the
// system's boundary, and H256, 32 bytes printed in stored order.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crypto/failure.hpp"
#include "sdk/src/numbers/parse_errors.hpp"

namespace quillet::sdk {

struct U256 {
  std::array<uint64_t, 4> words{};  // least significant first

  // Hexadecimal text: one optional leading "0x" (lower-case x only), then at
  // most 64 digits of either case; an odd count is read as if a '0' led it,
  // and the index of a bad digit counts within that padded digit string.
  // "" and "0x" give zero.
  static Expected<U256, FromHexError> from_str(std::string_view text);
  // Radix 16 is from_str; radix 10 reads decimal digits only ("" gives zero,
  // a value of 2^256 or more is InvalidLength); any other radix fails with
  // kind UnsupportedRadix.
  static Expected<U256, FromStrRadixErr> from_str_radix(std::string_view text, uint32_t radix);

  static constexpr U256 from_u64(uint64_t v) { return U256{{v, 0, 0, 0}}; }
  static constexpr U256 from_u128(unsigned __int128 v) {
    return U256{{static_cast<uint64_t>(v), static_cast<uint64_t>(v >> 64), 0, 0}};
  }
  // Fails hard with "Unsigned integer can't be created from negative value"
  // for v < 0.
  static U256 from_i128(__int128 v);
  // At most 32 bytes, least significant first; missing high bytes are zero.
  // More than 32 bytes fail hard with "assertion failed: 4 * 8 >= slice.len()".
  static U256 from_little_endian(std::span<const uint8_t> bytes);
  static U256 from_big_endian(const std::array<uint8_t, 32>& bytes);

  std::array<uint8_t, 32> to_little_endian() const;

  bool is_zero() const { return (words[0] | words[1] | words[2] | words[3]) == 0; }

  // Bits moved past bit 255 are lost; bits >= 256 gives zero.
  U256 shl(unsigned bits) const;
  // Fail hard with "arithmetic operation overflow" when the exact result is
  // 2^256 or more; `*this` is then unchanged.
  void add_assign(const U256& other);
  U256 mul(const U256& other) const;

  // Lower-case hexadecimal digits without leading zeros ("0" for zero); with
  // `alternate` "0x" in front. `width` is a minimum length counting the
  // prefix, filled with zeros between prefix and digits when `zero_fill`,
  // else with spaces on the left.
  std::string fmt_hex(bool alternate = false, size_t width = 0, bool zero_fill = false) const;
  // "0x" and exactly 64 lower-case digits.
  std::string to_hex_0x64() const;

  bool operator==(const U256&) const = default;
  std::strong_ordering operator<=>(const U256& other) const;
};

struct H256 {
  std::array<uint8_t, 32> bytes{};

  // Two lower-case digits per byte in stored order (64 in all), with "0x" in
  // front when `alternate`.
  std::string lower_hex(bool alternate = false) const;

  bool operator==(const H256&) const = default;
};

// Removes every leading "0x", then every leading "0X": "0x0x5" and "0X0X5"
// give "5", "0X0x5" gives "0x5". The texts that accept either prefix are
// trimmed with it before they are parsed.
std::string_view trim_hex_prefix(std::string_view text);

}  // namespace quillet::sdk
