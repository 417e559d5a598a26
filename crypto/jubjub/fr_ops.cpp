#include "crypto/jubjub/fr_ops.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace quillet::jubjub {
namespace {

constexpr bool bit_of(const FrRepr& e, int i) { return ((e[i / 64] >> (i % 64)) & 1) != 0; }

constexpr Fr square_n(Fr x, unsigned n) {
  for (unsigned i = 0; i < n; ++i) x.square();
  return x;
}

constexpr Fr pow_u64(const Fr& x, uint64_t e) {
  Fr r = Fr::one();
  for (int i = 63; i >= 0; --i) {
    r.square();
    if ((e >> i) & 1) r.mul_assign(x);
  }
  return r;
}

// r - 1 = 2^28·t with t odd; c3 = (t - 1)/2.
constexpr unsigned kTwoAdicity = Fr::kTwoAdicity;
static_assert(kTwoAdicity == 28);
constexpr FrRepr kC3 = field::detail::shift_right(Fr::kT, 1);
constexpr FrRepr kModulusMinusTwo = Fr::kModulusMinusTwo;

// The discrete logarithm in the 2^28-th roots of unity is found 7 bits at a
// time, in four windows.
constexpr unsigned kWindowBits = 7;
constexpr size_t kWindowSize = size_t{1} << kWindowBits;
static_assert(4 * kWindowBits == kTwoAdicity);

using WindowTable = std::array<Fr, kWindowSize>;

// g, a primitive 2^28-th root of unity, and its inverse g^(2^28 - 1).
constexpr Fr kRoot = Fr::from_montgomery_limbs(field::FrParams::kRootOfUnity);
constexpr Fr kRootInverse = pow_u64(kRoot, (uint64_t{1} << kTwoAdicity) - 1);
static_assert(kRoot * kRootInverse == Fr::one());

constexpr WindowTable powers_of(const Fr& base) {
  WindowTable t{};
  t[0] = Fr::one();
  for (size_t j = 1; j < kWindowSize; ++j) t[j] = t[j - 1] * base;
  return t;
}

// kNegPow[k][j] = g^(-j·2^(7k)) for k = 0, 1, 2.
constexpr std::array<WindowTable, 3> kNegPow = {
    powers_of(kRootInverse),
    powers_of(square_n(kRootInverse, kWindowBits)),
    powers_of(square_n(kRootInverse, 2 * kWindowBits)),
};

// kNegHalfPow[k][j] = g^(-j·2^(7k - 1)) for k = 1, 2, 3 (entry 0 unused).
constexpr std::array<WindowTable, 4> kNegHalfPow = {
    WindowTable{},
    powers_of(square_n(kRootInverse, kWindowBits - 1)),
    powers_of(square_n(kRootInverse, 2 * kWindowBits - 1)),
    powers_of(square_n(kRootInverse, 3 * kWindowBits - 1)),
};

// h^j for h = g^(2^21), a primitive 128-th root of unity, sorted by the low
// limb of the stored form for lookup.
struct DlogEntry {
  Fr value;
  uint8_t exponent;
};

constexpr uint64_t key_of(const Fr& v) { return v.montgomery_limbs()[0]; }

constexpr std::array<DlogEntry, kWindowSize> make_dlog_table() {
  std::array<DlogEntry, kWindowSize> t{};
  const Fr h = square_n(kRoot, 3 * kWindowBits);
  Fr v = Fr::one();
  for (size_t j = 0; j < kWindowSize; ++j) {
    t[j] = DlogEntry{v, static_cast<uint8_t>(j)};
    v.mul_assign(h);
  }
  std::sort(t.begin(), t.end(), [](const DlogEntry& a, const DlogEntry& b) { return key_of(a.value) < key_of(b.value); });
  return t;
}

constexpr std::array<DlogEntry, kWindowSize> kDlog = make_dlog_table();

constexpr bool keys_distinct() {
  for (size_t j = 1; j < kWindowSize; ++j) {
    if (key_of(kDlog[j - 1].value) == key_of(kDlog[j].value)) return false;
  }
  return true;
}
static_assert(keys_distinct(), "the lookup needs distinct keys");

// j with h^j = v, or -1 when v is not a 128-th root of unity.
int dlog_vartime(const Fr& v) {
  const uint64_t key = key_of(v);
  const auto it = std::lower_bound(kDlog.begin(), kDlog.end(), key,
                                   [](const DlogEntry& e, uint64_t k) { return key_of(e.value) < k; });
  if (it == kDlog.end() || !(it->value == v)) return -1;
  return it->exponent;
}

}  // namespace

Fr pow_public_exponent(const Fr& x, const FrRepr& e) {
  constexpr int kWidth = 5;
  // Odd powers x, x^3, ..., x^31.
  std::array<Fr, size_t{1} << (kWidth - 1)> odd{};
  odd[0] = x;
  const Fr x2 = x * x;
  for (size_t i = 1; i < odd.size(); ++i) odd[i] = odd[i - 1] * x2;

  int i = 255;
  while (i >= 0 && !bit_of(e, i)) --i;
  Fr r = Fr::one();
  bool started = false;
  while (i >= 0) {
    if (!bit_of(e, i)) {
      r.square();
      --i;
      continue;
    }
    // The longest window [j, i] of at most kWidth bits that ends in a one.
    int j = std::max(i - kWidth + 1, 0);
    while (!bit_of(e, j)) ++j;
    unsigned value = 0;
    for (int b = i; b >= j; --b) value = (value << 1) | (bit_of(e, b) ? 1u : 0u);
    if (started) {
      r = square_n(r, static_cast<unsigned>(i - j + 1));
      r.mul_assign(odd[value >> 1]);
    } else {
      r = odd[value >> 1];
      started = true;
    }
    i = j - 1;
  }
  return r;
}

Fr invert(const Fr& x) { return pow_public_exponent(x, kModulusMinusTwo); }

std::optional<Fr> sqrt_ratio_vartime(const Fr& u, const Fr& v) {
  if (v.is_zero()) return std::nullopt;
  if (u.is_zero()) return Fr::zero();
  // With rho = u/v: tv5 = rho^c3 / v, r = rho^((t+1)/2) and b = rho^t,
  // through v^(2^28 - 1) so that no inversion is needed.
  // ones_k = v^(2^k - 1).
  const Fr ones2 = square_n(v, 1) * v;
  const Fr ones4 = square_n(ones2, 2) * ones2;
  const Fr ones8 = square_n(ones4, 4) * ones4;
  const Fr ones16 = square_n(ones8, 8) * ones8;
  const Fr ones24 = square_n(ones16, 8) * ones8;
  const Fr tv2 = square_n(ones24, 4) * ones4;  // v^(2^28 - 1)
  const Fr tv3 = square_n(tv2, 1) * v;    // v^(2^29 - 1)
  const Fr tv5 = pow_public_exponent(u * tv3, kC3) * tv2;
  const Fr r = tv5 * u;
  const Fr b = r * (tv5 * v);

  // b = g^e with e found 7 bits at a time from the top window down; rho is a
  // square exactly when e is even, and then r·g^(-e/2) is a root.
  std::array<Fr, 4> b_pow{};
  b_pow[0] = b;
  for (size_t k = 1; k < b_pow.size(); ++k) b_pow[k] = square_n(b_pow[k - 1], kWindowBits);
  const int e0 = dlog_vartime(b_pow[3]);
  if (e0 < 0 || (e0 & 1) != 0) return std::nullopt;
  const int e1 = dlog_vartime(b_pow[2] * kNegPow[2][e0]);
  if (e1 < 0) return std::nullopt;
  const int e2 = dlog_vartime(b_pow[1] * kNegPow[1][e0] * kNegPow[2][e1]);
  if (e2 < 0) return std::nullopt;
  const int e3 = dlog_vartime(b * kNegPow[0][e0] * kNegPow[1][e1] * kNegPow[2][e2]);
  if (e3 < 0) return std::nullopt;
  return r * kNegPow[0][e0 / 2] * kNegHalfPow[1][e1] * kNegHalfPow[2][e2] * kNegHalfPow[3][e3];
}

}  // namespace quillet::jubjub
