// A precomputed table of multiples of one fixed base, so that multiplying it
// needs no doublings: row i holds 1·16^i·B, ..., 8·16^i·B in affine form, and
// k·B is the sum over the 64 signed radix-16 digits of k of one entry per row.
#pragma once

#include <cstddef>
#include <vector>

#include "crypto/field/fr.hpp"
#include "crypto/jubjub/edwards.hpp"
#include "crypto/jubjub/fs.hpp"
#include "crypto/jubjub/point.hpp"

namespace quillet::jubjub {

class FixedBaseTable {
 public:
  static constexpr size_t kRows = 64;
  static constexpr size_t kColumns = 8;

  // Builds the 512 entries (64 rows of seven additions and a doubling, then
  // one batch inversion): about 8000 field multiplications. `edwards_d` is
  // the curve's d.
  FixedBaseTable(const Point<PrimeOrder>& base, const Fr& edwards_d);

  // k·B in time independent of k, for private keys and nonces: each row is
  // read by a masked scan of all its entries, 64 mixed additions (7M each).
  Point<PrimeOrder> mul(const Fs& k) const;

  // acc - k·B for a public k; zero digits are skipped and entries indexed
  // directly. Variable time.
  detail::Extended sub_mul_vartime(const detail::Extended& acc, const Fs& k) const;

 private:
  const detail::AffineNiels& entry(size_t row, size_t multiple) const { return entries_[row * kColumns + multiple - 1]; }

  std::vector<detail::AffineNiels> entries_;
};

}  // namespace quillet::jubjub
