#include "crypto/jubjub/subgroup.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <optional>

#include "crypto/failure.hpp"
#include "crypto/field/fr_algorithms.hpp"
#include "crypto/field/pow_many.hpp"
#include "crypto/immortal.hpp"

namespace quillet::jubjub::detail {
namespace {

using field::FrRepr;

constexpr Fr small(uint64_t v) { return Fr::from_u128(v, 0); }

constexpr Fr inverse_of(const Fr& v) {
  const std::optional<Fr> inv = v.invert();
  if (!inv) fail_hard(kUnwrapNone);
  return *inv;
}

// The Montgomery form v^2 = u^3 + A·u^2 + u of the curve, reached by
// u = (1 + y)/(1 - y) and v = f·u/x with f^2 = -168700.
constexpr Fr kMontgomeryA = small(168698);
constexpr Fr kScale =
    Fr::from_decimal_constant("6360561867910373094066688120553762416144456282423235903351243436111059670888");
static_assert(kScale * kScale == -small(168700));

// T, a point of order 8 in Montgomery coordinates.
constexpr Fr kTu =
    Fr::from_decimal_constant("19799329160503878365519859265345525785148473002902384773314932802961476726446");
constexpr Fr kTv =
    Fr::from_decimal_constant("4633710831643166493755514364284141562000904655561116078506211088357794125820");
static_assert(kTv * kTv == kTu * kTu * kTu + kMontgomeryA * kTu * kTu + kTu);

// Miller's algorithm for 8·T, all doublings:
//   f = l1^4 · l2^2 / (v1^4 · u)
// with l1 the tangent at T, v1 the vertical line through 2T, l2 the tangent
// at 2T and u the vertical tangent at 4T = (0, 0).
struct MillerLines {
  Fr l1_slope, l1_offset;  // l1: v - slope·u - offset
  Fr u2;                   // v1: u - u2
  Fr l2_slope, l2_offset;  // l2
  Fr u4;                   // u-coordinate of 4T
};

constexpr MillerLines miller_lines() {
  const Fr one = Fr::one();
  const Fr two = small(2);
  const Fr three = small(3);
  MillerLines m{};
  m.l1_slope = (three * kTu * kTu + two * kMontgomeryA * kTu + one) * inverse_of(two * kTv);
  m.l1_offset = kTv - m.l1_slope * kTu;
  m.u2 = m.l1_slope * m.l1_slope - kMontgomeryA - two * kTu;
  const Fr v2 = m.l1_slope * (kTu - m.u2) - kTv;
  m.l2_slope = (three * m.u2 * m.u2 + two * kMontgomeryA * m.u2 + one) * inverse_of(two * v2);
  m.l2_offset = v2 - m.l2_slope * m.u2;
  m.u4 = m.l2_slope * m.l2_slope - kMontgomeryA - two * m.u2;
  return m;
}

constexpr MillerLines kLines = miller_lines();
// 4T is the point (0, 0) of order 2, so T has order 8.
static_assert(kLines.u4 == Fr::zero());

// (r - 1)/8.
constexpr FrRepr kFinalExponent = field::detail::shift_right(field::detail::sub_word(Fr::kModulus, 1), 3);

}  // namespace

[[gnu::flatten]] Fr pairing_value_vartime(const Extended& p) {
  // The neutral point is the one member where f cannot be evaluated: it
  // gets one. The other points of small order make a factor below vanish
  // (T, 2T, 4T, 6T) or have a pairing value other than one (3T, 5T, 7T):
  // the check fails for both.
  if (p.x.is_zero() && p.y == p.z) return Fr::one();
  // Projective Montgomery coordinates (U : V : W) of p.
  const Fr z_plus_y = p.z + p.y;
  const Fr u = z_plus_y * p.x;
  const Fr v = kScale * z_plus_y * p.z;
  const Fr w = (p.z - p.y) * p.x;
  // Each line at (U : V : W) is W times its value at (u, v); f·W^24 (an
  // eighth power is invisible to the pairing) is the product below.
  const Fr l1 = v - kLines.l1_slope * u - kLines.l1_offset * w;
  const Fr v1 = u - kLines.u2 * w;
  const Fr l2 = v - kLines.l2_slope * u - kLines.l2_offset * w;
  Fr l1v1 = l1 * v1;
  l1v1.square();
  l1v1.square();
  const Fr uw = u * w;
  Fr uw2 = uw;
  uw2.square();
  const Fr uw7 = uw2 * uw2 * uw2 * uw;
  Fr l2sq = l2;
  l2sq.square();
  return l1v1 * l2sq * uw7;
}

bool pairing_is_one_vartime(const Fr& f) { return field::pow_public_exponent(f, kFinalExponent) == Fr::one(); }

const field::WalkExponent& pairing_exponent() {
  static constinit Immortal<field::WalkExponent> made;
  return made.get([] { return field::WalkExponent(kFinalExponent); });
}

std::vector<bool> pairings_are_one_vartime(std::span<const Fr> f) {
  const std::vector<Fr> powers = field::pow_many_vartime(f, kFinalExponent);
  std::vector<bool> out(powers.size());
  for (size_t i = 0; i < powers.size(); ++i) out[i] = powers[i] == Fr::one();
  return out;
}

bool in_prime_order_subgroup_vartime(const Extended& p) { return pairing_is_one_vartime(pairing_value_vartime(p)); }

QueryProducts query_products_vartime(std::span<const Fr> f, std::span<const uint8_t> subsets, size_t first_block,
                                     size_t last_block) {
  const size_t row_bytes = subsets.size() / kSubgroupQueries;
  if (last_block < first_block || (last_block + 1) / 2 > row_bytes) {
    fail_hard("assertion failed: query subsets cover the values");
  }
  const auto value = [&](size_t i) { return i < f.size() ? f[i] : Fr::one(); };
  // The block's 16 products, each from one with a bit fewer and one value.
  std::vector<std::array<Fr, 16>> products(last_block - first_block);
  for (size_t b = first_block; b < last_block; ++b) {
    std::array<Fr, 16>& row = products[b - first_block];
    row[0] = Fr::one();
    for (unsigned mask = 1; mask < 16; ++mask) {
      const Fr lowest = value(4 * b + static_cast<size_t>(std::countr_zero(mask)));
      const unsigned rest = mask & (mask - 1);
      row[mask] = rest == 0 ? lowest : row[rest] * lowest;
    }
  }
  QueryProducts out;
  for (size_t q = 0; q < kSubgroupQueries; ++q) {
    const uint8_t* bits = &subsets[q * row_bytes];
    Fr product = Fr::one();
    for (size_t b = first_block; b < last_block; ++b) {
      const unsigned mask = (bits[b / 2] >> (4 * (b % 2))) & 15;
      if (mask != 0) product.mul_assign(products[b - first_block][mask]);
    }
    out[q] = product;
  }
  return out;
}

bool queries_pass_vartime(std::span<const QueryProducts> ranges, size_t first, size_t last) {
  if (ranges.empty() || last < first || last > kSubgroupQueries) fail_hard("assertion failed: queries in range");
  std::vector<Fr> queries(last - first);
  for (size_t q = first; q < last; ++q) {
    queries[q - first] = ranges[0][q];
    for (size_t k = 1; k < ranges.size(); ++k) queries[q - first].mul_assign(ranges[k][q]);
  }
  const std::vector<bool> passed = pairings_are_one_vartime(queries);
  return std::find(passed.begin(), passed.end(), false) == passed.end();
}

}  // namespace quillet::jubjub::detail
