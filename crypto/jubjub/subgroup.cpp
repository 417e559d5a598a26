#include "crypto/jubjub/subgroup.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <optional>
#include <string_view>

#include "crypto/failure.hpp"
#include "crypto/field/fr_algorithms.hpp"
#include "crypto/field/pow_many.hpp"
#include "crypto/immortal.hpp"
#include "crypto/random/random_bytes.hpp"

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

namespace {

// Random subset products tested for the subgroup (a point outside passes
// them all with probability 2^-104), and the fewest points for which they
// beat one exponentiation per point: about 330 multiplications each, against
// 104 exponentiations of about 310 shared and about 55 each (116 points).
constexpr size_t kSubgroupQueries = 104;
constexpr size_t kMinBatchedPoints = 128;

}  // namespace

std::vector<bool> in_subgroup_vartime(std::span<const Extended* const> points, const Spread& spread,
                                      const SidePieces& first_side, const SidePieces& last_side) {
  // std::vector<bool> packs bits: threads write whole bytes instead.
  std::vector<uint8_t> pass(points.size(), 0);
  const auto result = [&] { return std::vector<bool>(pass.begin(), pass.end()); };
  // A stage of `count` pieces, the last side pieces after them the first
  // time (every way through ends in such a stage, after the first).
  bool side_left = true;
  const auto stage = [&](size_t count, const auto& piece) {
    const size_t extra = side_left ? last_side.count() : 0;
    side_left = false;
    spread.for_each(count + extra, [&](size_t i) {
      if (i < count) {
        piece(i);
      } else {
        last_side(i - count);
      }
    });
  };
  std::vector<Fr> value(points.size());
  // The queries' random subsets, drawn for every point beside the values (a
  // query reads the first bytes of its row), in two halves: one draw alone
  // would outlast a range of values and leave a thread idle at the end.
  const size_t query_bytes = (points.size() + 7) / 8;
  std::vector<uint8_t> subsets;
  std::array<bool, 2> halves_drawn{};
  const size_t ranges = points.size() == 0 ? 0 : std::min<size_t>(points.size(), size_t{spread.width()} * 4);
  const size_t draws = points.size() >= kMinBatchedPoints ? 2 : 0;
  if (draws != 0) subsets.resize(kSubgroupQueries * query_bytes);
  spread.for_each(ranges + draws + first_side.count(), [&](size_t piece) {
    if (piece >= ranges + draws) {
      first_side(piece - ranges - draws);
      return;
    }
    if (piece < draws) {
      const size_t half = kSubgroupQueries / 2 * query_bytes;
      halves_drawn[piece] =
          random::fill_random(piece == 0 ? std::span(subsets).first(half) : std::span(subsets).subspan(half));
      return;
    }
    const size_t k = piece - draws;
    for (size_t i = k * points.size() / ranges; i < (k + 1) * points.size() / ranges; ++i) {
      value[i] = pairing_value_vartime(*points[i]);
    }
  });
  std::vector<Fr> f;
  std::vector<size_t> index;
  f.reserve(points.size() + 3);
  index.reserve(points.size());
  for (size_t i = 0; i < points.size(); ++i) {
    if (value[i].is_zero()) continue;
    f.push_back(value[i]);
    index.push_back(i);
  }
  const auto each = [&] {
    // A range per thread: the powers are taken together within a range.
    const size_t n = index.size();
    const size_t pieces = std::min<size_t>(n, spread.width());
    stage(pieces, [&](size_t k) {
      const size_t first = k * n / pieces, last = (k + 1) * n / pieces;
      const std::vector<bool> one = pairings_are_one_vartime(std::span(f).subspan(first, last - first));
      for (size_t q = first; q < last; ++q) pass[index[q]] = one[q - first] ? 1 : 0;
    });
    return result();
  };
  if (index.size() < kMinBatchedPoints) return each();
  const size_t blocks = (f.size() + 3) / 4;
  f.resize(4 * blocks, Fr::one());
  if (!halves_drawn[0] || !halves_drawn[1]) return each();
  // A range of blocks per thread: its products of four values, and every
  // query's product over its blocks. Only these partial products cross
  // between threads (reading another thread's table costs more than making
  // one's own, measured, bench/verify_many_bench.cpp).
  const size_t parts = std::min<size_t>(spread.width(), blocks);
  std::vector<Fr> partial(parts * kSubgroupQueries);
  spread.for_each(parts, [&](size_t part) {
    const size_t first = part * blocks / parts;
    const size_t last = (part + 1) * blocks / parts;
    std::vector<std::array<Fr, 16>> products(last - first);
    for (size_t b = first; b < last; ++b) {
      std::array<Fr, 16>& row = products[b - first];
      row[0] = Fr::one();
      for (unsigned mask = 1; mask < 16; ++mask) {
        const Fr& lowest = f[4 * b + static_cast<size_t>(std::countr_zero(mask))];
        const unsigned rest = mask & (mask - 1);
        row[mask] = rest == 0 ? lowest : row[rest] * lowest;
      }
    }
    for (size_t q = 0; q < kSubgroupQueries; ++q) {
      const uint8_t* bits = &subsets[q * query_bytes];
      Fr product = Fr::one();
      for (size_t b = first; b < last; ++b) {
        const unsigned mask = (bits[b / 2] >> (4 * (b % 2))) & 15;
        if (mask != 0) product.mul_assign(products[b - first][mask]);
      }
      partial[part * kSubgroupQueries + q] = product;
    }
  });
  // A range of queries per thread: their products, then their powers. The
  // powers run a vector of lanes at a time: ranges cut at whole vectors
  // (the first the longer) leave the side pieces to the thread that ends
  // first, rather than every thread a vector part full.
  std::vector<Fr> queries(kSubgroupQueries);
  std::atomic<bool> all_pass{true};
  constexpr size_t kVector = field::pow_lanes52::kLanes;
  constexpr size_t kVectors = (kSubgroupQueries + kVector - 1) / kVector;
  const size_t query_ranges = std::min<size_t>(spread.width(), kVectors);
  const auto cut = [&](size_t k) {
    return std::min(kSubgroupQueries, (k * kVectors + query_ranges - 1) / query_ranges * kVector);
  };
  stage(query_ranges, [&](size_t k) {
    const size_t first = cut(k), last = cut(k + 1);
    for (size_t q = first; q < last; ++q) {
      queries[q] = partial[q];
      for (size_t part = 1; part < parts; ++part) queries[q].mul_assign(partial[part * kSubgroupQueries + q]);
    }
    const std::vector<bool> passed = pairings_are_one_vartime(std::span(queries).subspan(first, last - first));
    if (std::find(passed.begin(), passed.end(), false) != passed.end()) all_pass.store(false, std::memory_order_relaxed);
  });
  if (!all_pass.load(std::memory_order_relaxed)) return each();
  for (size_t k : index) pass[k] = 1;
  return result();
}


}  // namespace quillet::jubjub::detail
