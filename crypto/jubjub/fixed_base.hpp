// Precomputed multiples of one fixed base B. For secret scalars: row i holds
// 1·32^i·B, ..., 16·32^i·B in affine form, and k·B is the sum over the 51
// signed radix-32 digits of k of one entry per row, no doublings (radix 32
// costs twice the scan of radix 16 but 12 fewer additions). For public
// scalars in a multi-scalar multiplication: the odd multiples 1·P ... 127·P
// of P = B and P = 2^128·B, read by width-8 NAFs of the scalar's two halves.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "crypto/field/fr.hpp"
#include "crypto/jubjub/edwards.hpp"
#include "crypto/jubjub/fs.hpp"
#include "crypto/jubjub/point.hpp"
#include "crypto/jubjub/scalar_recoding.hpp"

namespace quillet::jubjub {

class FixedBaseTable {
 public:
  static constexpr unsigned kWindow = 5;
  static constexpr size_t kRows = kRadix32Digits;
  static constexpr size_t kColumns = size_t{1} << (kWindow - 1);
  static constexpr unsigned kNafWidth = 8;
  static constexpr size_t kOddMultiples = size_t{1} << (kNafWidth - 2);
  static constexpr unsigned kHalfBits = 128;

  // Builds the 944 entries (51 rows of fifteen additions and a doubling, 128
  // doublings to 2^128·B, two runs of 63 additions, then one batch
  // inversion): about 14000 field multiplications. `edwards_d` is the
  // curve's d.
  FixedBaseTable(const Point<PrimeOrder>& base, const Fr& edwards_d);

  // k·B in time independent of k, for private keys and nonces: each row is
  // read by a masked scan of all its entries, 51 mixed additions (7M each).
  Point<PrimeOrder> mul(const Fs& k) const;

  // (2j + 1)·B for half 0 and (2j + 1)·2^128·B for half 1, j below 64.
  const detail::AffineNiels* odd_multiples(size_t half) const { return odd_[half].data(); }

 private:
  const detail::AffineNiels& entry(size_t row, size_t multiple) const { return entries_[row * kColumns + multiple - 1]; }

  std::vector<detail::AffineNiels> entries_;
  std::array<std::vector<detail::AffineNiels>, 2> odd_;
};

}  // namespace quillet::jubjub
