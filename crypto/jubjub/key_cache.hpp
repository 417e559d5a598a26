// Public keys already decoded and checked, kept for the next verification
// under the same key: a desk that verifies many signatures of one signer
// decodes its key (a square root) and checks its subgroup (a pairing) once.
//
// Fixed size (kKeyCacheSlots), process-wide, never destroyed, never waited
// for: a call that finds the cache busy (another thread in it, or a lock
// left held by the process this one was forked from, which it takes over)
// goes on without it. Public data only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "crypto/jubjub/msm/straus.hpp"
#include "crypto/jubjub/point.hpp"

namespace quillet::jubjub {

inline constexpr size_t kKeyCacheSlots = 128;

// A decoded key with what verification derives from it alone.
struct CheckedKey {
  // As Point::read gives it (Z = 1).
  Point<Unknown> point;
  // point.is_in_prime_order_subgroup_vartime().
  bool in_subgroup;
  // Whether `quarters` holds all four tables, not only the first.
  bool has_quarters;
  // How many calls found the key here (up to 255).
  uint8_t found;
  // detail::odd_multiples of 2^(64q)·point for q = 0 ... 3: the first serves
  // the point's width-5 NAF terms, all four a 252-bit scalar cut into 64-bit
  // quarters (64 doublings instead of 252).
  std::array<detail::OddMultiples, 4> quarters;

  const detail::OddMultiples& multiples() const { return quarters[0]; }
};

// check_key_vartime of the point `encoding` decodes to, when a recent call
// remembered it, with quarters if add_quarters_vartime gave them; nothing
// otherwise (encodings that do not decode are never remembered).
std::optional<CheckedKey> find_checked_key(const PointEncoding& encoding);

// `decoded`'s check and multiples, remembered under `encoding` for later
// calls. `decoded` must be what Point::read gives for `encoding`.
CheckedKey check_key_vartime(const PointEncoding& encoding, const Point<Unknown>& decoded);

// What check_key_vartime makes of `decoded` before the subgroup check:
// in_subgroup still false, for a caller that runs the check itself.
CheckedKey key_before_check(const Point<Unknown>& decoded);

// `key`, made as check_key_vartime makes it (its verdict known), remembered
// under `encoding` as check_key_vartime does.
void remember_checked_key(const PointEncoding& encoding, const CheckedKey& key);

// `key` with all four quarter tables (192 doublings and three tables of odd
// multiples, about 20 µs), remembered if `encoding`'s slot still holds it.
// `key` must be what find_checked_key or check_key_vartime gave for
// `encoding`.
CheckedKey add_quarters_vartime(const PointEncoding& encoding, const CheckedKey& key);

}  // namespace quillet::jubjub
