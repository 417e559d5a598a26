#include "crypto/jubjub/fixed_base.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "crypto/cpu/cpu.hpp"
#include "crypto/failure.hpp"
#include "crypto/field/fr_algorithms.hpp"
#include "crypto/field/fr_lanes.hpp"
#include "crypto/field/lanes52.hpp"
#include "crypto/jubjub/fixed_base_lanes.hpp"
#include "crypto/jubjub/mul_policy.hpp"
#include "crypto/jubjub/scalar_recoding.hpp"

namespace quillet::jubjub {

using detail::AffineNiels;
using detail::Completed;
using detail::Extended;

namespace {

namespace fl = fixed_base_lanes;
using cpu::LaneKernel;

using field::fr_lanes::to_lanes;

void lane_constants(fl::Table& t) {
  t.modulus = field::fr_lanes::modulus();
  t.from_lanes = field::fr_lanes::from_lanes();
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

FixedBaseTable::FixedBaseTable(const Point<PrimeOrder>& base) {
  const Fr& d2 = kEdwardsD2;
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
  to_lanes(d2, lanes->d2.v);
  const AffineNiels neutral = detail::identity_affine_niels();
  for (size_t row = 0; row < fl::kPaddedRows; ++row) {
    for (size_t j = 0; j < kColumns; ++j) {
      const AffineNiels& e = row < kRows ? entries_[row * kColumns + j] : neutral;
      const Fr* coords[fl::kCoords] = {&e.y_plus_x, &e.y_minus_x, &e.xy2d};
      for (size_t c = 0; c < fl::kCoords; ++c) {
        uint64_t limbs[fl::kLimbs];
        to_lanes(*coords[c], limbs);
        for (size_t l = 0; l < fl::kLimbs; ++l) lanes->entries[row / fl::kLanes][j][c][l][row % fl::kLanes] = limbs[l];
      }
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

#if defined(__x86_64__)
// Three 32-byte loads per entry instead of six 16-byte ones, the masks made
// by comparing a running counter with the magnitude in the vector unit; the
// three accumulators stay in registers.
[[gnu::target("avx2")]] AffineNiels scan_row_avx2(const AffineNiels* row, size_t columns, uint64_t magnitude) {
  static_assert(sizeof(AffineNiels) == 3 * sizeof(__m256i) && std::is_trivially_copyable_v<AffineNiels>);
  const AffineNiels identity = detail::identity_affine_niels();
  const __m256i wanted = _mm256_set1_epi64x(static_cast<long long>(magnitude));
  __m256i counter = _mm256_setzero_si256();
  const __m256i one = _mm256_set1_epi64x(1);
  const auto* id = reinterpret_cast<const __m256i*>(&identity);
  __m256i mask = _mm256_cmpeq_epi64(counter, wanted);
  __m256i acc0 = _mm256_and_si256(_mm256_loadu_si256(id), mask);
  __m256i acc1 = _mm256_and_si256(_mm256_loadu_si256(id + 1), mask);
  __m256i acc2 = _mm256_and_si256(_mm256_loadu_si256(id + 2), mask);
  for (size_t j = 1; j <= columns; ++j) {
    counter = _mm256_add_epi64(counter, one);
    mask = _mm256_cmpeq_epi64(counter, wanted);
    const auto* entry = reinterpret_cast<const __m256i*>(&row[j - 1]);
    acc0 = _mm256_or_si256(acc0, _mm256_and_si256(_mm256_loadu_si256(entry), mask));
    acc1 = _mm256_or_si256(acc1, _mm256_and_si256(_mm256_loadu_si256(entry + 1), mask));
    acc2 = _mm256_or_si256(acc2, _mm256_and_si256(_mm256_loadu_si256(entry + 2), mask));
  }
  AffineNiels out = identity;
  auto* dst = reinterpret_cast<__m256i*>(&out);
  _mm256_storeu_si256(dst, acc0);
  _mm256_storeu_si256(dst + 1, acc1);
  _mm256_storeu_si256(dst + 2, acc2);
  return out;
}

// Two entries (three 64-byte loads) per step: the first entry fills the
// first load and half the second, the next one the rest; each load is ORed
// in under the lanes' comparison masks, and the halves are folded at the end.
// `columns` must be even.
[[gnu::target("avx512f")]] AffineNiels scan_row_avx512(const AffineNiels* row, size_t columns, uint64_t magnitude) {
  static_assert(2 * sizeof(AffineNiels) == 3 * sizeof(__m512i));
  const AffineNiels identity = detail::identity_affine_niels();
  const __m512i wanted = _mm512_set1_epi64(static_cast<long long>(magnitude));
  const __m512i two = _mm512_set1_epi64(2);
  // Counters of the entries in each load's lanes: the pair (j, j + 1).
  __m512i c0 = _mm512_set1_epi64(1);
  __m512i c1 = _mm512_set_epi64(2, 2, 2, 2, 1, 1, 1, 1);
  __m512i c2 = _mm512_set1_epi64(2);
  const auto* id = reinterpret_cast<const uint64_t*>(&identity);
  const __mmask8 none = _mm512_cmpeq_epi64_mask(_mm512_setzero_si512(), wanted);
  // Loads in full, masks on registers only.
  __m512i acc0 = _mm512_maskz_mov_epi64(none, _mm512_loadu_si512(id));
  __m512i acc1 = _mm512_maskz_mov_epi64(static_cast<__mmask8>(none & 0x0f),
                                        _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(id + 8))));
  __m512i acc2 = _mm512_setzero_si512();
  for (size_t j = 0; j + 1 < columns; j += 2) {
    const auto* pair = reinterpret_cast<const uint64_t*>(&row[j]);
    acc0 = _mm512_mask_or_epi64(acc0, _mm512_cmpeq_epi64_mask(c0, wanted), acc0, _mm512_loadu_si512(pair));
    acc1 = _mm512_mask_or_epi64(acc1, _mm512_cmpeq_epi64_mask(c1, wanted), acc1, _mm512_loadu_si512(pair + 8));
    acc2 = _mm512_mask_or_epi64(acc2, _mm512_cmpeq_epi64_mask(c2, wanted), acc2, _mm512_loadu_si512(pair + 16));
    c0 = _mm512_add_epi64(c0, two);
    c1 = _mm512_add_epi64(c1, two);
    c2 = _mm512_add_epi64(c2, two);
  }
  // Bytes 0-31 of the entry: acc0's low half | acc1's high half; 32-63:
  // acc0's high half | acc2's low half; 64-95: acc1's low | acc2's high.
  alignas(64) __m256i halves[6];
  _mm512_store_si512(&halves[0], acc0);
  _mm512_store_si512(&halves[2], acc1);
  _mm512_store_si512(&halves[4], acc2);
  AffineNiels out = identity;
  auto* dst = reinterpret_cast<__m256i*>(&out);
  _mm256_storeu_si256(dst, _mm256_or_si256(halves[0], halves[3]));
  _mm256_storeu_si256(dst + 1, _mm256_or_si256(halves[1], halves[4]));
  _mm256_storeu_si256(dst + 2, _mm256_or_si256(halves[2], halves[5]));
  return out;
}
#endif

// The rows' sum for the digits of k, on the multiplication policy M.
template <class M>
[[gnu::flatten]] Extended sum_rows(const AffineNiels* entries, size_t columns,
                                   const std::array<int8_t, kRadix64Digits>& digits, ScanInstructions scan) {
  Extended acc = detail::identity_extended();
  for (size_t row = 0; row < digits.size(); ++row) {
    const int8_t d = digits[row];
    const int sign = d >> 7;  // -1 or 0
    const auto magnitude = static_cast<uint64_t>((d ^ sign) - sign);
    const AffineNiels* first = entries + row * columns;
#if defined(__x86_64__)
    AffineNiels chosen = scan == ScanInstructions::avx512 ? scan_row_avx512(first, columns, magnitude)
                         : scan == ScanInstructions::avx2 ? scan_row_avx2(first, columns, magnitude)
                                                          : scan_row(first, columns, magnitude);
#else
    (void)scan;
    AffineNiels chosen = scan_row(first, columns, magnitude);
#endif
    detail::cneg(chosen, 0 - static_cast<uint64_t>(sign & 1));
    acc = detail::to_extended<M>(detail::add<M>(acc, chosen));
  }
  return acc;
}

}  // namespace

Point<PrimeOrder> FixedBaseTable::mul(const Fs& k, ScanInstructions scan) const {
  static_assert(kColumns % 2 == 0, "the AVX-512 scan reads entries in pairs");
  if (!cpu::runs(scan)) fail_hard("assertion failed: the table scan's instructions are available");
  std::array<int8_t, kRadix64Digits> digits = signed_radix64(k);
  // The multiplication kernel is chosen once, outside the rows' loop.
  const Extended acc =
      detail::with_fastest_kernel([&]<class M>() { return sum_rows<M>(entries_.data(), kColumns, digits, scan); });
  OPENSSL_cleanse(digits.data(), digits.size());
  return detail::PointAccess::make<PrimeOrder>(acc);
}

namespace {

// Lane `lane`'s point of a kernel's output.
Point<PrimeOrder> lane_point(const uint64_t (&out)[fl::kOutputs][fl::kLimbs][fl::kLanes], size_t lane) {
  Extended p;
  Fr* coords[fl::kOutputs] = {&p.x, &p.y, &p.t, &p.z};
  for (size_t c = 0; c < fl::kOutputs; ++c) {
    *coords[c] = Fr::from_montgomery_limbs(field::lanes52::join52(&out[c][0][lane], fl::kLanes));
  }
  return detail::PointAccess::make<PrimeOrder>(p);
}

// k's digits into lanes first .. first + group - 1 of a RowBlock: row r in
// step r / group, lane first + r % group. The block starts zeroed, so rows
// past the last are digit 0.
void put_row_digits(const Fs& k, fl::RowBlock& block, size_t first, size_t group) {
  std::array<int8_t, kRadix64Digits> digits = signed_radix64(k);
  for (size_t row = 0; row < digits.size(); ++row) {
    const int8_t d = digits[row];
    const int sign = d >> 7;  // -1 or 0
    block.magnitude[row / group][first + row % group] = static_cast<uint64_t>((d ^ sign) - sign);
    block.negative[row / group][first + row % group] = 0 - static_cast<uint64_t>(sign & 1);
  }
  OPENSSL_cleanse(digits.data(), digits.size());
}

const fl::FixedBase::Entries& kernel_entries(LaneKernel kernel) {
  return field::lanes52::lane_entries<fl::FixedBase>(kernel);
}

}  // namespace

void FixedBaseTable::mul_many(std::span<const Fs> k, std::span<Point<PrimeOrder>> out, LaneKernel kernel) const {
  if (k.size() != out.size()) fail_hard("assertion failed: one point per scalar");
  if (kernel == LaneKernel::scalar || !cpu::runs(kernel)) {
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
    kernel_entries(kernel).run(*lanes_, block);
    for (size_t lane = 0; lane < count; ++lane) out[start + lane] = lane_point(block.out, lane);
  }
  OPENSSL_cleanse(&block, sizeof block);
}

Point<PrimeOrder> FixedBaseTable::mul_lanes(const Fs& k, LaneKernel kernel) const {
  if (kernel == LaneKernel::scalar || !cpu::runs(kernel)) return mul(k);
  fl::RowBlock block{};
  put_row_digits(k, block, 0, fl::kLanes);
  kernel_entries(kernel).run_rows(*lanes_, block, 1);
  const Point<PrimeOrder> out = lane_point(block.out, 0);
  OPENSSL_cleanse(&block, sizeof block);
  return out;
}

std::array<Point<PrimeOrder>, 2> FixedBaseTable::mul_pair(const Fs& a, const Fs& b, LaneKernel kernel) const {
  if (kernel == LaneKernel::scalar || !cpu::runs(kernel)) return {mul(a), mul(b)};
  fl::RowBlock block{};
  put_row_digits(a, block, 0, fl::kLanes / 2);
  put_row_digits(b, block, fl::kLanes / 2, fl::kLanes / 2);
  kernel_entries(kernel).run_rows(*lanes_, block, 2);
  const std::array<Point<PrimeOrder>, 2> out{lane_point(block.out, 0), lane_point(block.out, fl::kLanes / 2)};
  OPENSSL_cleanse(&block, sizeof block);
  return out;
}

}  // namespace quillet::jubjub
