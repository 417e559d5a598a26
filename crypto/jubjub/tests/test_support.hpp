// Helpers shared by the curve tests (the references they are checked
// against are in reference.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/field/repr.hpp"
#include "crypto/field/tests/test_support.hpp"
#include "crypto/jubjub/checked_key.hpp"
#include "crypto/jubjub/fs.hpp"
#include "crypto/jubjub/message.hpp"
#include "crypto/jubjub/point.hpp"

namespace quillet::jubjub::testing {

// Bytes of an even-length hex text, in text order.
inline std::vector<uint8_t> from_hex(std::string_view hex) {
  auto digit = [](char c) -> uint8_t {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    return static_cast<uint8_t>(c - 'A' + 10);
  };
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(digit(hex[i]) << 4 | digit(hex[i + 1])));
  return out;
}

inline std::array<uint8_t, 32> from_hex32(std::string_view hex) {
  const std::vector<uint8_t> v = from_hex(hex);
  std::array<uint8_t, 32> out{};
  for (size_t i = 0; i < out.size() && i < v.size(); ++i) out[i] = v[i];
  return out;
}

inline std::string to_hex(const std::array<uint8_t, 32>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

// An element from 64 big-endian hex digits (no prefix); the value must be in range.
template <class Field>
Field field_from_hex(std::string_view hex) {
  return *Field::from_repr(field::repr_from_bytes_be(from_hex32(hex)));
}

template <class Field>
Field field_from_dec(std::string_view dec) {
  return *Field::from_str_vartime(dec);
}

// Whether two checked keys hold the same point, verdict and tables (the
// quarters beyond the first only where both have them).
inline bool same_checked_key(const CheckedKey& a, const CheckedKey& b) {
  if (!(a.point == b.point) || a.in_subgroup != b.in_subgroup || a.has_quarters != b.has_quarters) return false;
  const size_t tables = a.has_quarters ? a.quarters.size() : 1;
  return std::memcmp(a.quarters.data(), b.quarters.data(), tables * sizeof a.quarters[0]) == 0;
}

// Messages of a batch: zero, all ones, s (challenge zero), then counting
// patterns, `n` in all.
inline std::vector<Message> batch_messages(size_t n) {
  std::vector<Message> msgs;
  for (size_t i = 0; i < n; ++i) {
    Message m{};
    if (i == 1) m.fill(0xff);
    if (i == 2) m = field::repr_to_bytes_le(fs_char());
    if (i > 2) {
      for (size_t j = 0; j < m.size(); ++j) m[j] = static_cast<uint8_t>(7 * i + 13 * j);
    }
    msgs.push_back(m);
  }
  return msgs;
}

using quillet::testing::hard_failure_text;

}  // namespace quillet::jubjub::testing
