// Precomputed multiples of one fixed base B. For secret scalars: row i holds
// 1·64^i·B, ..., 32·64^i·B in affine form, and k·B is the sum over the 42
// signed radix-64 digits of k of one entry per row, no doublings (radix 64
// costs four times the scan of radix 16 but 21 fewer additions). For public
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

// How a table row is scanned: with 16-byte vector operations, or where the
// processor has them with AVX2's 32-byte or AVX-512's 64-byte ones. All read
// every entry the same way and pick by mask.
enum class ScanInstructions { sse2, avx2, avx512 };

bool scan_instructions_available(ScanInstructions s);
ScanInstructions fastest_scan_instructions();

class FixedBaseTable {
 public:
  static constexpr unsigned kWindow = 6;
  static constexpr size_t kRows = kRadix64Digits;
  static constexpr size_t kColumns = size_t{1} << (kWindow - 1);
  static constexpr unsigned kNafWidth = 8;
  static constexpr size_t kOddMultiples = size_t{1} << (kNafWidth - 2);
  static constexpr unsigned kHalfBits = 128;

  // Builds the 1472 entries (42 rows of 31 additions and a doubling, 128
  // doublings to 2^128·B, two runs of 63 additions, then one batch
  // inversion): about 19000 field multiplications. `edwards_d` is the
  // curve's d.
  FixedBaseTable(const Point<PrimeOrder>& base, const Fr& edwards_d);

  // k·B in time independent of k, for private keys and nonces: each row is
  // read by a masked scan of all its entries, 42 mixed additions (7M each).
  // `scan` (fails hard if unavailable) changes the speed, never the result.
  Point<PrimeOrder> mul(const Fs& k, ScanInstructions scan = fastest_scan_instructions()) const;

  // (2j + 1)·B for half 0 and (2j + 1)·2^128·B for half 1, j below 64.
  const detail::AffineNiels* odd_multiples(size_t half) const { return odd_[half].data(); }

 private:
  std::vector<detail::AffineNiels> entries_;
  std::array<std::vector<detail::AffineNiels>, 2> odd_;
};

}  // namespace quillet::jubjub
