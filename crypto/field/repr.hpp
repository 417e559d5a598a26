// Plain 256-bit integers as four 64-bit limbs, least significant first, and
// their byte and text forms. Shared by every prime field of the system.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace quillet::field {

using Repr = std::array<uint64_t, 4>;

// Little-endian: byte 0 is the least significant byte of limb 0.
constexpr std::array<uint8_t, 32> repr_to_bytes_le(const Repr& r) {
  std::array<uint8_t, 32> out{};
  for (int i = 0; i < 32; ++i) out[i] = static_cast<uint8_t>(r[i / 8] >> (8 * (i % 8)));
  return out;
}

constexpr Repr repr_from_bytes_le(const std::array<uint8_t, 32>& b) {
  Repr r{};
  for (int i = 0; i < 32; ++i) r[i / 8] |= static_cast<uint64_t>(b[i]) << (8 * (i % 8));
  return r;
}

// Big-endian: the exact byte reversal of the little-endian form.
constexpr std::array<uint8_t, 32> repr_to_bytes_be(const Repr& r) {
  std::array<uint8_t, 32> le = repr_to_bytes_le(r);
  std::array<uint8_t, 32> out{};
  for (int i = 0; i < 32; ++i) out[i] = le[31 - i];
  return out;
}

constexpr Repr repr_from_bytes_be(const std::array<uint8_t, 32>& b) {
  std::array<uint8_t, 32> le{};
  for (int i = 0; i < 32; ++i) le[i] = b[31 - i];
  return repr_from_bytes_le(le);
}

// "0x" and the four limbs from the most significant down, 16 lower-case hex
// digits each: always 66 characters.
inline std::string repr_to_hex(const Repr& r) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out = "0x";
  out.reserve(66);
  for (int limb = 3; limb >= 0; --limb) {
    for (int shift = 60; shift >= 0; shift -= 4) out.push_back(kDigits[(r[limb] >> shift) & 15]);
  }
  return out;
}

}  // namespace quillet::field
