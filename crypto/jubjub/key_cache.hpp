// Public keys already decoded and checked, kept for the next verification
// under the same key: a desk that verifies many signatures of one signer
// decodes its key (a square root) and checks its subgroup (a pairing) once.
//
// Fixed size (kKeyCacheSlots), process-wide, never destroyed, never waited
// for: a call that finds the cache busy (another thread in it, or a lock
// left held by the process this one was forked from, which it takes over)
// goes on without it. Public data only.
#pragma once

#include <cstddef>
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
  // detail::odd_multiples of the point, for its width-5 NAF terms.
  detail::OddMultiples multiples;
};

// check_key_vartime of the point `encoding` decodes to, when a recent call
// remembered it; nothing otherwise (encodings that do not decode are never
// remembered).
std::optional<CheckedKey> find_checked_key(const PointEncoding& encoding);

// `decoded`'s check and multiples, remembered under `encoding` for later
// calls. `decoded` must be what Point::read gives for `encoding`.
CheckedKey check_key_vartime(const PointEncoding& encoding, const Point<Unknown>& decoded);

}  // namespace quillet::jubjub
