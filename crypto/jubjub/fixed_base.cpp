#include "crypto/jubjub/fixed_base.hpp"

#include <openssl/crypto.h>

#include <array>
#include <cstdint>

#include "crypto/failure.hpp"
#include "crypto/jubjub/scalar_recoding.hpp"

namespace quillet::jubjub {

using detail::AffineNiels;
using detail::Completed;
using detail::Extended;

namespace {

// P, 3P, ..., (2n - 1)P appended to `out`.
void append_odd_multiples(std::vector<Extended>& out, const Extended& p, size_t n, const Fr& d2) {
  const detail::CachedNiels twice = detail::to_cached(detail::to_extended(detail::dbl(detail::to_projective(p))), d2);
  Extended multiple = p;
  out.push_back(multiple);
  for (size_t j = 1; j < n; ++j) {
    multiple = detail::to_extended(detail::add(multiple, twice));
    out.push_back(multiple);
  }
}

}  // namespace

FixedBaseTable::FixedBaseTable(const Point<PrimeOrder>& base, const Fr& edwards_d) {
  static_assert(kHalfBits % 4 == 0 && kHalfBits / 4 < kRows);
  const Fr d2 = edwards_d + edwards_d;
  std::vector<Extended> points;
  points.reserve(kRows * kColumns + 2 * kOddMultiples);
  Extended row_base = detail::PointAccess::coords(base);
  Extended half_base = row_base;
  for (size_t row = 0; row < kRows; ++row) {
    if (row == kHalfBits / 4) half_base = row_base;  // 16^32·B = 2^128·B
    const detail::CachedNiels step = detail::to_cached(row_base, d2);
    Extended multiple = row_base;
    points.push_back(multiple);
    for (size_t j = 1; j < kColumns; ++j) {
      multiple = detail::to_extended(detail::add(multiple, step));
      points.push_back(multiple);
    }
    // 8·16^i·B doubled is 16^(i+1)·B.
    row_base = detail::to_extended(detail::dbl(detail::to_projective(multiple)));
  }
  append_odd_multiples(points, detail::PointAccess::coords(base), kOddMultiples, d2);
  append_odd_multiples(points, half_base, kOddMultiples, d2);

  // One inversion for all Z (the base is public: variable time is fine).
  std::vector<Fr> prefix(points.size());
  Fr running = Fr::one();
  for (size_t i = 0; i < points.size(); ++i) {
    running.mul_assign(points[i].z);
    prefix[i] = running;
  }
  const std::optional<Fr> all_inv = running.inverse_vartime();
  if (!all_inv) fail_hard(kUnwrapNone);
  Fr inv = *all_inv;
  std::vector<AffineNiels> affine(points.size());
  for (size_t i = points.size(); i-- > 0;) {
    const Fr z_inv = i == 0 ? inv : inv * prefix[i - 1];
    inv.mul_assign(points[i].z);
    affine[i] = detail::to_affine_niels(points[i].x * z_inv, points[i].y * z_inv, d2);
  }
  const auto rows_end = affine.begin() + kRows * kColumns;
  entries_.assign(affine.begin(), rows_end);
  odd_[0].assign(rows_end, rows_end + kOddMultiples);
  odd_[1].assign(rows_end + kOddMultiples, affine.end());
}

Point<PrimeOrder> FixedBaseTable::mul(const Fs& k) const {
  std::array<int8_t, kRadix16Digits> digits = signed_radix16(k);
  Extended acc = detail::identity_extended();
  for (size_t row = 0; row < kRows; ++row) {
    const int8_t d = digits[row];
    const int sign = d >> 7;  // -1 or 0
    const auto magnitude = static_cast<uint64_t>((d ^ sign) - sign);
    AffineNiels chosen = detail::identity_affine_niels();
    for (size_t j = 1; j <= kColumns; ++j) detail::cmov(chosen, entry(row, j), detail::eq_mask(magnitude, j));
    detail::cneg(chosen, 0 - static_cast<uint64_t>(sign & 1));
    acc = detail::to_extended(detail::add(acc, chosen));
  }
  OPENSSL_cleanse(digits.data(), digits.size());
  return detail::PointAccess::make<PrimeOrder>(acc);
}

}  // namespace quillet::jubjub
