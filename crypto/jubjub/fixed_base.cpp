#include "crypto/jubjub/fixed_base.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "crypto/failure.hpp"
#include "crypto/field/fr_algorithms.hpp"
#include "crypto/field/lanes52.hpp"
#include "crypto/immortal.hpp"
#include "crypto/jubjub/fixed_base_lanes.hpp"
#include "crypto/jubjub/scalar_recoding.hpp"

namespace quillet::jubjub {

using detail::AffineNiels;
using detail::Completed;
using detail::Extended;

namespace {

namespace fl = fixed_base_lanes;
using cpu::LaneKernel;

// x·2^260 mod p as five limbs: sixteen times the 2^256 form, still canonical.
void to_lanes(const Fr& v, uint64_t* limbs) {
  Fr x = v;
  for (int d = 0; d < 4; ++d) x.double_();
  const field::lanes52::Limbs l = field::lanes52::split52(x.montgomery_limbs());
  for (size_t i = 0; i < fl::kLimbs; ++i) limbs[i] = l.v[i];
}

// The modulus and the constants of the lanes (as crypto/field/pow_many.cpp).
void lane_constants(fl::Table& t) {
  // 2p < 2^255 fits the four words.
  FrRepr p2{};
  uint64_t carry = 0;
  for (size_t i = 0; i < 4; ++i) {
    p2[i] = (Fr::kModulus[i] << 1) | carry;
    carry = Fr::kModulus[i] >> 63;
  }
  t.modulus = field::lanes52::Modulus{field::lanes52::split52(Fr::kModulus), field::lanes52::split52(p2),
                                      Fr::kInv & ((uint64_t{1} << 52) - 1)};
  t.from_lanes = field::lanes52::split52(Fr::kR);
  to_lanes(Fr::one(), t.one.v);
}

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
  const Fr d2 = edwards_d + edwards_d;
  std::vector<Extended> points;
  points.reserve(kRows * kColumns + 2 * kOddMultiples);
  Extended row_base = detail::PointAccess::coords(base);
  Extended half_base = row_base;
  for (unsigned i = 0; i < kHalfBits; ++i) half_base = detail::to_extended(detail::dbl(detail::to_projective(half_base)));
  for (size_t row = 0; row < kRows; ++row) {
    const detail::CachedNiels step = detail::to_cached(row_base, d2);
    Extended multiple = row_base;
    points.push_back(multiple);
    for (size_t j = 1; j < kColumns; ++j) {
      multiple = detail::to_extended(detail::add(multiple, step));
      points.push_back(multiple);
    }
    // 32·64^i·B doubled is 64^(i+1)·B.
    row_base = detail::to_extended(detail::dbl(detail::to_projective(multiple)));
  }
  append_odd_multiples(points, detail::PointAccess::coords(base), kOddMultiples, d2);
  append_odd_multiples(points, half_base, kOddMultiples, d2);

  // One inversion for all Z.
  std::vector<Fr> prefix(points.size());
  Fr running = Fr::one();
  for (size_t i = 0; i < points.size(); ++i) {
    running.mul_assign(points[i].z);
    prefix[i] = running;
  }
  Fr inv = field::invert_safegcd(running);
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

  static_assert(fl::kRows == kRows && fl::kColumns == kColumns);
  auto lanes = std::make_shared<fl::Table>();
  lane_constants(*lanes);
  for (size_t row = 0; row < kRows; ++row) {
    for (size_t j = 0; j < kColumns; ++j) {
      const AffineNiels& e = entry(row, j + 1);
      to_lanes(e.y_plus_x, lanes->entries[row][j][0]);
      to_lanes(e.y_minus_x, lanes->entries[row][j][1]);
      to_lanes(e.xy2d, lanes->entries[row][j][2]);
    }
  }
  lanes_ = std::move(lanes);
}

namespace {

// The entry `magnitude` of a row (1 to `columns`; 0 gives the neutral point),
// read by a masked scan of all of them: every entry is loaded, ANDed with its
// all-ones-or-zero mask and ORed in, two limbs per vector operation.
AffineNiels scan_row(const AffineNiels* row, size_t columns, uint64_t magnitude) {
  using Lanes = uint64_t __attribute__((vector_size(16)));
  constexpr size_t kLanes = sizeof(AffineNiels) / sizeof(Lanes);
  static_assert(sizeof(AffineNiels) % sizeof(Lanes) == 0 && std::is_trivially_copyable_v<AffineNiels>);
  std::array<Lanes, kLanes> acc;
  const AffineNiels identity = detail::identity_affine_niels();
  std::memcpy(acc.data(), &identity, sizeof acc);
  const uint64_t none = detail::eq_mask(magnitude, 0);
  for (Lanes& lane : acc) lane &= none;
  for (size_t j = 1; j <= columns; ++j) {
    const uint64_t mask = detail::eq_mask(magnitude, j);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&row[j - 1]);
    for (size_t l = 0; l < kLanes; ++l) {
      Lanes lane;
      std::memcpy(&lane, bytes + l * sizeof lane, sizeof lane);
      acc[l] |= lane & mask;
    }
  }
  AffineNiels out = identity;
  std::memcpy(static_cast<void*>(&out), acc.data(), sizeof out);
  return out;
}

}  // namespace

Point<PrimeOrder> FixedBaseTable::mul(const Fs& k) const {
  std::array<int8_t, kRadix64Digits> digits = signed_radix64(k);
  Extended acc = detail::identity_extended();
  for (size_t row = 0; row < kRows; ++row) {
    const int8_t d = digits[row];
    const int sign = d >> 7;  // -1 or 0
    const auto magnitude = static_cast<uint64_t>((d ^ sign) - sign);
    AffineNiels chosen = scan_row(&entry(row, 1), kColumns, magnitude);
    detail::cneg(chosen, 0 - static_cast<uint64_t>(sign & 1));
    acc = detail::to_extended(detail::add(acc, chosen));
  }
  OPENSSL_cleanse(digits.data(), digits.size());
  return detail::PointAccess::make<PrimeOrder>(acc);
}

bool fixed_base_kernel_available(LaneKernel k) { return cpu::lane_kernel_runs(k, fl::ifma_compiled()); }

// Chosen once per process, as an Immortal constant (crypto/immortal.hpp).
LaneKernel fixed_base_kernel() {
  static constinit Immortal<LaneKernel> chosen;
  return chosen.get([] { return cpu::choose_lane_kernel(cpu::kForceLanes, fixed_base_kernel_available); });
}

void FixedBaseTable::mul_many(std::span<const Fs> k, std::span<Point<PrimeOrder>> out, LaneKernel kernel) const {
  if (k.size() != out.size()) fail_hard("assertion failed: one point per scalar");
  if (kernel == LaneKernel::scalar || !fixed_base_kernel_available(kernel)) {
    for (size_t i = 0; i < k.size(); ++i) out[i] = mul(k[i]);
    return;
  }
  fl::Block block;
  for (size_t start = 0; start < k.size(); start += fl::kLanes) {
    const size_t count = std::min(fl::kLanes, k.size() - start);
    for (size_t lane = 0; lane < fl::kLanes; ++lane) {
      std::array<int8_t, kRadix64Digits> digits = signed_radix64(lane < count ? k[start + lane] : Fs::zero());
      for (size_t row = 0; row < kRows; ++row) {
        const int8_t d = digits[row];
        const int sign = d >> 7;  // -1 or 0
        block.magnitude[row][lane] = static_cast<uint64_t>((d ^ sign) - sign);
        block.negative[row][lane] = 0 - static_cast<uint64_t>(sign & 1);
      }
      OPENSSL_cleanse(digits.data(), digits.size());
    }
    if (kernel == LaneKernel::ifma) {
      fl::run_ifma(*lanes_, block);
    } else {
      fl::run_emulated(*lanes_, block);
    }
    for (size_t lane = 0; lane < count; ++lane) {
      Extended p;
      Fr* coords[fl::kOutputs] = {&p.x, &p.y, &p.t, &p.z};
      for (size_t c = 0; c < fl::kOutputs; ++c) {
        *coords[c] = Fr::from_montgomery_limbs(field::lanes52::join52(&block.out[c][0][lane], fl::kLanes));
      }
      out[start + lane] = detail::PointAccess::make<PrimeOrder>(p);
    }
  }
  OPENSSL_cleanse(&block, sizeof block);
}

}  // namespace quillet::jubjub
