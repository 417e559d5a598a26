// The signing base's odd multiples for scalars cut into 64-bit quarters,
// which recomputed_r_matches_vartime (eddsa.hpp) multiplies by: 64 doublings
// instead of about 128.
#pragma once

#include <array>
#include <cstddef>

#include "crypto/jubjub/edwards.hpp"
#include "crypto/jubjub/fixed_base.hpp"

namespace quillet::jubjub::detail {

// Odd multiples 1·B ... 127·B of B_q = 2^(64q)·B for the signing base B, in
// affine form, for width-8 NAFs of 64-bit quarters. Quarters 0 and 2 (B and
// 2^128·B) are the signing table's odd multiples; 1 and 3 are made here.
struct BaseQuarters {
  static constexpr size_t kOdd = FixedBaseTable::kOddMultiples;
  std::array<std::array<AffineNiels, kOdd>, 2> odd_quarters;

  // The kOdd odd multiples of B_q, for q below 4.
  const AffineNiels* quarter(size_t q) const;
};

// The process's quarters, built on first use (about 250 additions and one
// inversion), never destroyed, safe across fork (crypto/immortal.hpp).
const BaseQuarters& base_quarters();

}  // namespace quillet::jubjub::detail
