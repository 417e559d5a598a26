// The multiplication kernels against each other and against the general
// Montgomery multiplication: bit-identical results on random and edge inputs,
// each kernel forced explicitly.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <random>
#include <vector>

#include "crypto/field/fr.hpp"

namespace quillet::field {
namespace {

constexpr Repr kP = FrParams::kModulus;

// The general multiplication, which every modulus uses: a·b·2^-256 mod p by
// way of the full product and a separate reduction.
Repr general_mont_mul(const Repr& a, const Repr& b) {
  std::array<uint64_t, 8> t{};
  for (int i = 0; i < 4; ++i) {
    uint64_t carry = 0;
    for (int j = 0; j < 4; ++j) t[i + j] = detail::mac(t[i + j], a[i], b[j], carry);
    t[i + 4] = carry;
  }
  uint64_t top = 0;
  for (int i = 0; i < 4; ++i) {
    const uint64_t k = t[i] * Fr::kInv;
    uint64_t carry = 0;
    detail::mac(t[i], k, kP[0], carry);
    for (int j = 1; j < 4; ++j) t[i + j] = detail::mac(t[i + j], k, kP[j], carry);
    t[i + 4] = detail::adc(t[i + 4], carry, top);
  }
  Repr r{t[4], t[5], t[6], t[7]};
  Repr reduced{};
  const uint64_t borrow = detail::sub_borrow(reduced, r, kP);
  return (top | (borrow ^ 1)) != 0 ? reduced : r;
}

// Edge values below the modulus m (Fr's unless given), then random ones of
// every size class.
std::vector<Repr> operands(uint64_t seed, size_t count, const Repr& m = kP) {
  const Repr m_minus_one{m[0] - 1, m[1], m[2], m[3]};
  std::vector<Repr> v = {Repr{},
                         Repr{1, 0, 0, 0},
                         Repr{2, 0, 0, 0},
                         m_minus_one,
                         Repr{m[0] - 2, m[1], m[2], m[3]},
                         detail::shift_right(m_minus_one, 1),
                         Repr{~0ULL, ~0ULL, ~0ULL, m[3] - 1},
                         Repr{0, 0, 0, m[3]},
                         Repr{~0ULL, 0, ~0ULL, 0},
                         Fr::kR,
                         Fr::kR2};
  std::mt19937_64 rng(seed);
  while (v.size() < count) {
    const int words = static_cast<int>(rng() % 4) + 1;
    Repr r{};
    for (int i = 0; i < words; ++i) r[i] = rng();
    if (words == 4) r[3] &= ~0ULL >> std::countl_zero(m[3]);
    if (detail::less_than_vartime(r, m)) v.push_back(r);
  }
  return v;
}

bool have_mulx_adx() { return cpu::runs(MulInstructions::mulx_adx); }

TEST(Kernels, MultiplicationAndSquaringAgree) {
  const std::vector<Repr> v = operands(7, 400);
  for (size_t i = 0; i < v.size(); ++i) {
    const Repr& a = v[i];
    const Repr& b = v[(i * 37 + 11) % v.size()];
    const Repr expected = general_mont_mul(a, b);
    EXPECT_EQ(detail::mont_mul_portable(a, b, kP, Fr::kInv), expected) << i;
    EXPECT_EQ(detail::mont_square_portable(a, kP, Fr::kInv), general_mont_mul(a, a)) << i;
    Fr fa = Fr::from_montgomery_limbs(a);
    Fr fb = Fr::from_montgomery_limbs(b);
    Fr portable = fa;
    portable.mul_assign_with<MulInstructions::portable>(fb);
    EXPECT_EQ(portable.montgomery_limbs(), expected);
    Fr dispatched = fa;
    dispatched.mul_assign(fb);
    EXPECT_EQ(dispatched.montgomery_limbs(), expected);
    Fr portable_sq = fa;
    portable_sq.square_with<MulInstructions::portable>();
    EXPECT_EQ(portable_sq.montgomery_limbs(), general_mont_mul(a, a)) << i;
    Fr dispatched_sq = fa;
    dispatched_sq.square();
    EXPECT_EQ(dispatched_sq.montgomery_limbs(), general_mont_mul(a, a)) << i;
    if (have_mulx_adx()) {
      Fr fast = fa;
      fast.mul_assign_with<MulInstructions::mulx_adx>(fb);
      EXPECT_EQ(fast.montgomery_limbs(), expected) << i;
      Fr sq = fa;
      sq.square_with<MulInstructions::mulx_adx>();
      EXPECT_EQ(sq.montgomery_limbs(), general_mont_mul(a, a)) << i;
    }
  }
}

TEST(Kernels, SecondOperandMayBeAnyWord) {
  // from_raw and the wide conversions multiply a constant below p by a value
  // that may reach 2^256 - 1.
  std::mt19937_64 rng(9);
  std::vector<Repr> wide = {Repr{~0ULL, ~0ULL, ~0ULL, ~0ULL}, kP, Repr{0, 0, 0, 1ULL << 63}};
  while (wide.size() < 200) wide.push_back(Repr{rng(), rng(), rng(), rng()});
  for (const Repr& w : wide) {
    for (const Repr& c : {Fr::kR2, Fr::kR3, Repr{kP[0] - 1, kP[1], kP[2], kP[3]}}) {
      const Repr expected = general_mont_mul(c, w);
      EXPECT_EQ(detail::mont_mul_portable(c, w, kP, Fr::kInv), expected);
#if defined(__x86_64__)
      if (have_mulx_adx()) {
        EXPECT_EQ(detail::mont_mul_mulx_adx(c, w, kP, Fr::kInv), expected);
      }
#endif
    }
  }
}

#if defined(__x86_64__)
TEST(Kernels, SquaresAgreeAtTheLargestTopWord) {
  if (!have_mulx_adx()) GTEST_SKIP() << "MULX/ADX not available";
  // The largest top word the kernels take (Fr's is below 2^62): the last
  // word of each row of the square comes closest to overflowing.
  constexpr Repr kTop = {0xffffffffffffff43ULL, ~0ULL, ~0ULL, 0x7ffffffffffffffdULL};
  static_assert(detail::no_carry_modulus(kTop));
  const uint64_t inv = detail::neg_inverse_mod_word(kTop[0]);
  for (const Repr& a : operands(13, 400, kTop)) {
    const Repr expected = detail::mont_mul_portable(a, a, kTop, inv);
    EXPECT_EQ(detail::mont_square_portable(a, kTop, inv), expected);
    EXPECT_EQ(detail::mont_square_mulx_adx(a, kTop, inv), expected);
  }
}

TEST(Kernels, ReductionsAgreeOnWideInputs) {
  if (!have_mulx_adx()) GTEST_SKIP() << "MULX/ADX not available";
  // Any t with t + (2^256 - 1)·p < 2^512, which the top word below
  // 2^64 - p[3] - 1 ensures: long carry runs through every word.
  const uint64_t top_max = ~kP[3] - 1;
  std::mt19937_64 rng(11);
  std::vector<detail::Wide> v = {detail::Wide{}, detail::Wide{~0ULL, ~0ULL, ~0ULL, ~0ULL, ~0ULL, ~0ULL, ~0ULL, top_max},
                                 detail::Wide{1, 0, 0, 0, ~0ULL, ~0ULL, ~0ULL, top_max},
                                 detail::Wide{0, 0, 0, 0, ~0ULL, ~0ULL, ~0ULL, 0}};
  while (v.size() < 400) {
    detail::Wide t{};
    for (uint64_t& w : t) w = rng();
    t[7] %= top_max + 1;
    v.push_back(t);
  }
  for (const detail::Wide& t : v) {
    EXPECT_EQ(detail::mont_reduce_partial_mulx_adx(t, kP, Fr::kInv), detail::mont_reduce_partial(t, kP, Fr::kInv));
  }
}
#endif

TEST(Kernels, SumsOfProductsAgree) {
  const std::vector<Repr> v = operands(8, 180);
  for (size_t start = 0; start + 18 <= v.size(); start += 9) {
    std::array<Fr, 9> a;
    std::array<Fr, 9> b;
    Fr expected;
    for (size_t k = 0; k < 9; ++k) {
      a[k] = Fr::from_montgomery_limbs(v[start + k]);
      b[k] = Fr::from_montgomery_limbs(v[(start * 3 + k * 5 + 1) % v.size()]);
      expected.add_assign(Fr::from_montgomery_limbs(general_mont_mul(a[k].montgomery_limbs(), b[k].montgomery_limbs())));
    }
    EXPECT_EQ(Fr::sum_of_products_with<MulInstructions::portable>(a, b), expected) << start;
    if (have_mulx_adx()) {
      EXPECT_EQ(Fr::sum_of_products_with<MulInstructions::mulx_adx>(a, b), expected) << start;
    }
  }
  // The largest sum: every operand p - 1.
  std::array<Fr, 9> top;
  top.fill(-Fr::one());
  const Fr one_each = Fr::from_u128(9, 0);  // (p-1)^2 = 1, nine times
  EXPECT_EQ(Fr::sum_of_products_with<MulInstructions::portable>(top, top), one_each);
  if (have_mulx_adx()) {
    EXPECT_EQ(Fr::sum_of_products_with<MulInstructions::mulx_adx>(top, top), one_each);
  }
}

// addend + Σ a[k]·b[k] through the addressed forms, on both kernels, against
// product-by-product arithmetic; operands drawn from v, the last case all
// p - 1.
template <size_t N>
void check_addressed_sums(const std::vector<Repr>& v) {
  for (size_t start = 0; start <= v.size(); start += N + 1) {
    std::array<Fr, N> a;
    std::array<Fr, N> b;
    Fr addend = -Fr::one();
    if (start < v.size()) addend = Fr::from_montgomery_limbs(v[start]);
    std::array<const Fr*, N> pa{};
    std::array<const Fr*, N> pb{};
    Fr sum;
    for (size_t k = 0; k < N; ++k) {
      a[k] = start < v.size() ? Fr::from_montgomery_limbs(v[(start + k + 1) % v.size()]) : -Fr::one();
      b[k] = start < v.size() ? Fr::from_montgomery_limbs(v[(start * 7 + k * 3 + 2) % v.size()]) : -Fr::one();
      pa[k] = &a[k];
      pb[k] = &b[k];
      sum.add_assign(Fr::from_montgomery_limbs(general_mont_mul(a[k].montgomery_limbs(), b[k].montgomery_limbs())));
    }
    const Fr with_addend = sum + addend;
    EXPECT_EQ((Fr::sum_of_products_with<MulInstructions::portable, N>(pa, pb)), sum) << N << " " << start;
    EXPECT_EQ((Fr::sum_of_products_plus_with<MulInstructions::portable, N>(addend, pa, pb)), with_addend) << N << " " << start;
    if (have_mulx_adx()) {
      EXPECT_EQ((Fr::sum_of_products_with<MulInstructions::mulx_adx, N>(pa, pb)), sum) << N << " " << start;
      EXPECT_EQ((Fr::sum_of_products_plus_with<MulInstructions::mulx_adx, N>(addend, pa, pb)), with_addend) << N << " " << start;
    }
  }
}

TEST(Kernels, AddressedSumsAndAddendAgree) {
  // The sizes the permutation uses: blocks of one to four rounds, and first
  // rows with up to three block terms.
  const std::vector<Repr> v = operands(12, 120);
  check_addressed_sums<1>(v);
  check_addressed_sums<2>(v);
  check_addressed_sums<3>(v);
  check_addressed_sums<4>(v);
  check_addressed_sums<10>(v);
  check_addressed_sums<12>(v);
}

TEST(Kernels, BoundsOfTheFieldsOfTheSystem) {
  static_assert(Fr::kFastKernels);
  static_assert(detail::sum_of_products_fits(9, kP));
  static_assert(detail::sum_of_products_subtractions(9, kP) == 2);
  static_assert(detail::sum_of_products_fits(12, kP, true));
  static_assert(detail::sum_of_products_subtractions(4, kP, true) == 2);
  // About 22 products fit without an addend, 17 with one.
  static_assert(detail::sum_of_products_fits(22, kP) && !detail::sum_of_products_fits(23, kP));
  static_assert(detail::sum_of_products_fits(17, kP, true) && !detail::sum_of_products_fits(18, kP, true));
  // A modulus with its top bit set takes the general multiplication only.
  static_assert(!detail::no_carry_modulus(Repr{~0ULL - 188, ~0ULL, ~0ULL, ~0ULL}));
  SUCCEED();
}

}  // namespace
}  // namespace quillet::field
