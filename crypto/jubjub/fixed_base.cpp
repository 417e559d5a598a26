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

FixedBaseTable::FixedBaseTable(const Point<PrimeOrder>& base, const Fr& edwards_d) {
  const Fr d2 = edwards_d + edwards_d;
  std::vector<Extended> points;
  points.reserve(kRows * kColumns);
  Extended row_base = detail::PointAccess::coords(base);
  for (size_t row = 0; row < kRows; ++row) {
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
  entries_.resize(points.size());
  for (size_t i = points.size(); i-- > 0;) {
    const Fr z_inv = i == 0 ? inv : inv * prefix[i - 1];
    inv.mul_assign(points[i].z);
    entries_[i] = detail::to_affine_niels(points[i].x * z_inv, points[i].y * z_inv, d2);
  }
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

Extended FixedBaseTable::sub_mul_vartime(const Extended& acc, const Fs& k) const {
  const std::array<int8_t, kRadix16Digits> digits = signed_radix16(k);
  Extended out = acc;
  for (size_t row = 0; row < kRows; ++row) {
    const int d = digits[row];
    if (d > 0) {
      out = detail::to_extended(detail::sub(out, entry(row, static_cast<size_t>(d))));
    } else if (d < 0) {
      out = detail::to_extended(detail::add(out, entry(row, static_cast<size_t>(-d))));
    }
  }
  return out;
}

}  // namespace quillet::jubjub
