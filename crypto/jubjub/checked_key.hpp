// A decoded public key with what verification derives from it alone: its
// subgroup verdict and its odd multiples, made once for every signature
// checked under it. A plain value: whoever keeps one decides for how long
// (the core library remembers recent keys, sdk/src/keys/remembered_keys.hpp).
// Public data only; variable time.
#pragma once

#include <array>

#include "crypto/jubjub/msm/straus.hpp"
#include "crypto/jubjub/point.hpp"

namespace quillet::jubjub {

struct CheckedKey {
  // As Point::read gives it (Z = 1).
  Point<Unknown> point;
  // point.is_in_prime_order_subgroup_vartime().
  bool in_subgroup;
  // Whether `quarters` holds all four tables, not only the first.
  bool has_quarters;
  // detail::odd_multiples of 2^(64q)·point for q = 0 ... 3: the first serves
  // the point's width-5 NAF terms, all four a 252-bit scalar cut into 64-bit
  // quarters (64 doublings instead of 252).
  std::array<detail::OddMultiples, 4> quarters;

  const detail::OddMultiples& multiples() const { return quarters[0]; }
};

// `decoded` checked: its subgroup verdict and the first quarter's multiples.
CheckedKey check_key_vartime(const Point<Unknown>& decoded);

// What check_key_vartime makes of `decoded` before the subgroup check:
// in_subgroup still false, for a caller that runs the check itself.
CheckedKey key_before_check(const Point<Unknown>& decoded);

// `key` with all four quarter tables (192 doublings and three tables of odd
// multiples, about 20 µs).
CheckedKey with_quarters_vartime(const CheckedKey& key);

}  // namespace quillet::jubjub
