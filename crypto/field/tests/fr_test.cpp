#include "crypto/field/fr.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace quillet::field {
namespace {

__extension__ typedef unsigned __int128 u128;

constexpr Repr kP = FrParams::kModulus;
constexpr Repr kPMinusOne = {0x43e1f593f0000000ULL, 0x2833e84879b97091ULL, 0xb85045b68181585dULL,
                             0x30644e72e131a029ULL};
constexpr Repr kAllOnes = {~0ULL, ~0ULL, ~0ULL, ~0ULL};
constexpr const char* kPDecimal =
    "21888242871839275222246405745257275088548364400416034343698204186575808495617";
constexpr const char* kPMinusOneDecimal =
    "21888242871839275222246405745257275088548364400416034343698204186575808495616";

std::string to_decimal(Repr v) {
  if (v == Repr{}) return "0";
  std::string out;
  while (v != Repr{}) {
    u128 rem = 0;
    for (int i = 3; i >= 0; --i) {
      const u128 cur = (rem << 64) | v[i];
      v[i] = static_cast<uint64_t>(cur / 10);
      rem = cur % 10;
    }
    out.insert(out.begin(), static_cast<char>('0' + rem));
  }
  return out;
}

std::string dec(const Fr& x) { return to_decimal(x.into_repr()); }

Fr from_dec(const char* s) {
  auto x = Fr::from_str_vartime(s);
  EXPECT_TRUE(x.has_value()) << s;
  return x.value_or(Fr::zero());
}

// Reference arithmetic on canonical values, independent of the Montgomery
// form: plain modular addition and double-and-add multiplication.
bool ge(const Repr& a, const Repr& b) {
  for (int i = 3; i >= 0; --i) {
    if (a[i] != b[i]) return a[i] > b[i];
  }
  return true;
}
// On input a, b < m.
Repr ref_add(const Repr& a, const Repr& b, const Repr& m = kP) {
  Repr r{};
  u128 carry = 0;
  for (int i = 0; i < 4; ++i) {
    const u128 t = static_cast<u128>(a[i]) + b[i] + carry;
    r[i] = static_cast<uint64_t>(t);
    carry = t >> 64;
  }
  if (carry != 0 || ge(r, m)) {
    u128 borrow = 0;
    for (int i = 0; i < 4; ++i) {
      const u128 t = static_cast<u128>(r[i]) - m[i] - borrow;
      r[i] = static_cast<uint64_t>(t);
      borrow = (t >> 64) & 1;
    }
  }
  return r;
}
// The residue of the 64·n-bit value `limbs` (least significant first).
Repr ref_reduce(const std::vector<uint64_t>& limbs) {
  Repr r{};
  for (size_t i = limbs.size(); i-- > 0;) {
    for (int bit = 63; bit >= 0; --bit) {
      r = ref_add(r, r);
      if ((limbs[i] >> bit) & 1) r = ref_add(r, Repr{1, 0, 0, 0});
    }
  }
  return r;
}
Repr ref_mul(const Repr& a, const Repr& b, const Repr& m = kP) {
  Repr r{};
  for (int i = 255; i >= 0; --i) {
    r = ref_add(r, r, m);
    if ((b[i / 64] >> (i % 64)) & 1) r = ref_add(r, a, m);
  }
  return r;
}

Repr random_below_p(std::mt19937_64& rng) {
  for (;;) {
    Repr r{rng(), rng(), rng(), rng() & 0x3fffffffffffffffULL};
    if (!ge(r, kP)) return r;
  }
}

TEST(Fr, ConstantsAndCanonicalForm) {
  EXPECT_EQ(Fr::modulus(), kP);
  EXPECT_EQ(Fr::zero().into_repr(), Repr{});
  EXPECT_EQ(Fr::zero().montgomery_limbs(), Repr{});
  EXPECT_EQ(Fr::one().into_repr(), (Repr{1, 0, 0, 0}));
  EXPECT_EQ(Fr::one().montgomery_limbs(), Fr::kR);
  const Fr root = Fr::from_montgomery_limbs(FrParams::kRootOfUnity);
  EXPECT_EQ(dec(root), "1748695177688661943023146337482803886740723238769601073607632802312037301404");
  EXPECT_EQ(Fr::from_u128(7, 0).pow_vartime(Fr::kT), root);
  // Primitive: order exactly 2^28.
  Fr x = root;
  for (int i = 0; i < 27; ++i) x.square();
  EXPECT_NE(x, Fr::one());
  x.square();
  EXPECT_EQ(x, Fr::one());
}

TEST(Fr, FromReprBounds) {
  auto below = Fr::from_repr(kPMinusOne);
  ASSERT_TRUE(below.has_value());
  EXPECT_EQ(below->into_repr(), kPMinusOne);

  struct Case {
    Repr value;
    const char* text;
  };
  const Case rejected[] = {
      {kP, "0x30644e72e131a029b85045b68181585d2833e84879b9709143e1f593f0000001"},
      {kAllOnes, "0xffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"},
      {{0, 0, 0, 0x30644e72e131a02aULL}, "0x30644e72e131a02a000000000000000000000000000000000000000000000000"},
  };
  for (const Case& c : rejected) {
    auto r = Fr::from_repr(c.value);
    ASSERT_FALSE(r.has_value()) << c.text;
    EXPECT_EQ(r.error().text, c.text);
    EXPECT_EQ(r.error().to_string(), std::string(c.text) + " is not an element of the field");
    EXPECT_EQ(r.error().debug(), std::string("NotInField(\"") + c.text + "\")");
  }
  EXPECT_STREQ(PrimeFieldDecodingError::kDescription, "not an element of the field");
}

TEST(Fr, FromReprBytes) {
  const auto p_minus_one = Fr::from_repr_bytes(repr_to_bytes_le(kPMinusOne));
  ASSERT_TRUE(p_minus_one.has_value());
  EXPECT_EQ(p_minus_one->into_repr(), kPMinusOne);
  EXPECT_EQ(p_minus_one->to_repr_bytes(), repr_to_bytes_le(kPMinusOne));
  EXPECT_FALSE(Fr::from_repr_bytes(repr_to_bytes_le(kP)).has_value());
  EXPECT_FALSE(Fr::from_repr_bytes(repr_to_bytes_le(kAllOnes)).has_value());
  std::array<uint8_t, 32> first{};
  first[0] = 2;  // byte 0 is the least significant
  EXPECT_EQ(dec(*Fr::from_repr_bytes(first)), "2");
  std::array<uint8_t, 32> last{};
  last[31] = 1;
  EXPECT_EQ(Fr::from_repr_bytes(last)->into_repr(), (Repr{0, 0, 0, 1ULL << 56}));
}

TEST(Fr, ReprTextAndBytes) {
  EXPECT_EQ(repr_to_hex(Repr{}), "0x" + std::string(64, '0'));
  const Repr v{0x0102030405060708ULL, 0, 0, 0xa0b0c0d0e0f00011ULL};
  const auto be = repr_to_bytes_be(v);
  EXPECT_EQ(be[0], 0xa0);
  EXPECT_EQ(be[7], 0x11);
  EXPECT_EQ(be[31], 0x08);
  EXPECT_EQ(repr_from_bytes_be(be), v);
  EXPECT_EQ(repr_from_bytes_le(repr_to_bytes_le(v)), v);
}

TEST(Fr, FromStr) {
  const char* absent[] = {"", "00", "01", "007", "+1", "-1", " 1", "1 ", "0x1", "1a", "\xd9\xa1"};
  for (const char* s : absent) EXPECT_FALSE(Fr::from_str_vartime(s).has_value()) << '"' << s << '"';
  struct Case {
    std::string text;
    const char* value;
  };
  const Case cases[] = {
      {"0", "0"},
      {"1", "1"},
      {"10", "10"},
      {"18446744073709551616", "18446744073709551616"},
      {kPMinusOneDecimal, kPMinusOneDecimal},
      {kPDecimal, "0"},
      {"21888242871839275222246405745257275088548364400416034343698204186575808495618", "1"},
  };
  for (const Case& c : cases) {
    auto x = Fr::from_str_vartime(c.text);
    ASSERT_TRUE(x.has_value()) << c.text;
    EXPECT_EQ(dec(*x), c.value) << c.text;
  }
}

TEST(Fr, WideAndRawInputsReduce) {
  EXPECT_EQ(dec(Fr::from_u128(0, 1)), "18446744073709551616");
  EXPECT_EQ(dec(Fr::from_u128(~0ULL, ~0ULL)), "340282366920938463463374607431768211455");

  std::array<uint8_t, 64> two_256{};
  two_256[32] = 1;
  EXPECT_EQ(dec(Fr::from_bytes_wide(two_256)),
            "6350874878119819312338956282401532410528162663560392320966563075034087161851");

  std::array<uint8_t, 64> ones;
  ones.fill(0xff);
  EXPECT_EQ(Fr::from_bytes_wide(ones).into_repr(), ref_reduce(std::vector<uint64_t>(8, ~0ULL)));
  std::array<uint8_t, 64> low_p{};
  const auto p_bytes = repr_to_bytes_le(kP);
  std::copy(p_bytes.begin(), p_bytes.end(), low_p.begin());
  EXPECT_TRUE(Fr::from_bytes_wide(low_p).is_zero());

  EXPECT_TRUE(Fr::from_raw(kP).is_zero());
  EXPECT_EQ(Fr::from_raw(kAllOnes).into_repr(), ref_reduce({~0ULL, ~0ULL, ~0ULL, ~0ULL}));

  std::mt19937_64 rng(7);
  for (int i = 0; i < 50; ++i) {
    std::array<uint64_t, 8> w{};
    for (auto& x : w) x = rng();
    EXPECT_EQ(Fr::from_u512(w).into_repr(), ref_reduce(std::vector<uint64_t>(w.begin(), w.end())));
  }
}

TEST(Fr, AdditiveEdges) {
  const Fr p_minus_one = *Fr::from_repr(kPMinusOne);
  EXPECT_TRUE((p_minus_one + Fr::one()).is_zero());
  EXPECT_EQ(Fr::zero() - Fr::one(), p_minus_one);
  EXPECT_TRUE((-Fr::zero()).is_zero());
  EXPECT_EQ(-Fr::one(), p_minus_one);
  EXPECT_EQ(-p_minus_one, Fr::one());
  Fr d = p_minus_one;
  d.double_();
  EXPECT_EQ(dec(d), "21888242871839275222246405745257275088548364400416034343698204186575808495615");
  Fr s = Fr::one();
  s.sub_assign(Fr::one());
  EXPECT_TRUE(s.is_zero());
}

TEST(Fr, ArithmeticMatchesReference) {
  std::mt19937_64 rng(1);
  std::vector<Repr> values = {Repr{}, Repr{1, 0, 0, 0}, kPMinusOne, Repr{0, 0, 0, 1}};
  for (int i = 0; i < 60; ++i) values.push_back(random_below_p(rng));
  for (size_t i = 0; i < values.size(); ++i) {
    const Repr& a = values[i];
    const Repr& b = values[(i * 7 + 3) % values.size()];
    const Fr fa = *Fr::from_repr(a);
    const Fr fb = *Fr::from_repr(b);
    EXPECT_EQ((fa * fb).into_repr(), ref_mul(a, b));
    EXPECT_EQ((fa + fb).into_repr(), ref_add(a, b));
    EXPECT_EQ((fa - fb + fb), fa);
    Fr sq = fa;
    sq.square();
    EXPECT_EQ(sq.into_repr(), ref_mul(a, a));
    EXPECT_EQ(fa.ct_eq(fb), a == b);
  }
}

// Addition and subtraction work on the stored limbs, so their edges are limb
// patterns: every carry and borrow position, sums landing on p exactly, and
// the compile-time path against the run-time one.
TEST(Fr, AddSubAtLimbEdges) {
  std::mt19937_64 rng(3);
  std::vector<Repr> limbs = {Repr{},
                             Repr{1, 0, 0, 0},
                             kPMinusOne,
                             Repr{kPMinusOne[0] - 1, kPMinusOne[1], kPMinusOne[2], kPMinusOne[3]},
                             Repr{~0ULL, 0, 0, 0},
                             Repr{~0ULL, ~0ULL, 0, 0},
                             Repr{~0ULL, ~0ULL, ~0ULL, 0},
                             Repr{0, 0, 0, kP[3] >> 1},
                             Repr{kP[0] >> 1, kP[1], kP[2], kP[3] >> 1}};
  for (int i = 0; i < 8; ++i) limbs.push_back(random_below_p(rng));
  for (const Repr& x : limbs) {
    for (const Repr& y : limbs) {
      const Fr a = Fr::from_montgomery_limbs(x);
      const Fr b = Fr::from_montgomery_limbs(y);
      EXPECT_EQ((a + b).montgomery_limbs(), ref_add(x, y));
      Repr neg_y = Repr{};
      if (y != Repr{}) {
        u128 borrow = 0;
        for (int i = 0; i < 4; ++i) {
          const u128 t = static_cast<u128>(kP[i]) - y[i] - borrow;
          neg_y[i] = static_cast<uint64_t>(t);
          borrow = (t >> 64) & 1;
        }
      }
      EXPECT_EQ((a - b).montgomery_limbs(), ref_add(x, neg_y));
    }
  }
  constexpr Fr kA = Fr::from_montgomery_limbs(kPMinusOne);
  constexpr Fr kB = Fr::from_montgomery_limbs(Repr{5, 0, 0, 0});
  constexpr Fr kSum = kA + kB;
  constexpr Fr kDifference = kB - kA;
  EXPECT_EQ(kA + kB, kSum);
  EXPECT_EQ(kB - kA, kDifference);
}

TEST(Fr, Inversion) {
  EXPECT_FALSE(Fr::zero().inverse_vartime().has_value());
  EXPECT_FALSE(Fr::zero().invert().has_value());
  EXPECT_EQ(*Fr::one().inverse_vartime(), Fr::one());
  EXPECT_EQ(*Fr::one().invert(), Fr::one());
  // The stored limbs 1 (the element R^-1) skip the Euclidean loop.
  const Fr r_inv = Fr::from_montgomery_limbs(Repr{1, 0, 0, 0});
  EXPECT_EQ(r_inv.inverse_vartime()->montgomery_limbs(), Fr::kR2);
  EXPECT_EQ(*r_inv.inverse_vartime(), *r_inv.invert());

  std::mt19937_64 rng(2);
  std::vector<Fr> values = {*Fr::from_repr(kPMinusOne), Fr::from_u128(2, 0), r_inv};
  for (int i = 0; i < 40; ++i) values.push_back(*Fr::from_repr(random_below_p(rng)));
  for (const Fr& a : values) {
    const auto slow = a.inverse_vartime();
    const auto fast = a.invert();
    ASSERT_TRUE(slow.has_value() && fast.has_value());
    EXPECT_EQ(*slow, *fast);
    EXPECT_EQ(a * *slow, Fr::one()) << dec(a);
  }
}

TEST(Fr, LegendreAndSqrt) {
  struct Case {
    const char* value;
    int legendre;
  };
  const Case legendre[] = {{kPMinusOneDecimal, 1}, {"2", 1}, {"5", -1}, {"7", -1}, {"0", 0}, {"4", 1}};
  for (const Case& c : legendre) EXPECT_EQ(from_dec(c.value).legendre_vartime(), c.legendre) << c.value;

  struct Root {
    const char* value;
    const char* root;  // nullptr: no root
  };
  const Root roots[] = {
      {"0", "0"},
      {"1", "1"},
      {"4", "21888242871839275222246405745257275088548364400416034343698204186575808495615"},
      {"9", "3"},
      {"16", "4"},
      {"5", nullptr},
  };
  for (const Root& c : roots) {
    auto r = from_dec(c.value).sqrt_vartime();
    if (c.root == nullptr) {
      EXPECT_FALSE(r.has_value()) << c.value;
    } else {
      ASSERT_TRUE(r.has_value()) << c.value;
      EXPECT_EQ(dec(*r), c.root) << c.value;
    }
  }
  std::mt19937_64 rng(3);
  for (int i = 0; i < 30; ++i) {
    const Fr a = *Fr::from_repr(random_below_p(rng));
    Fr sq = a;
    sq.square();
    const auto r = sq.sqrt_vartime();
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(*r == a || *r == -a);
    EXPECT_EQ(a.legendre_vartime() == -1, !a.sqrt_vartime().has_value());
  }
}

// Two more parameter sets on the same core, neither with a root of unity:
// the 251-bit curve subgroup order, and 2^256 - 189, whose top bit is set so
// that sums and Montgomery products carry out of four limbs.
struct SubgroupParams {
  static constexpr Repr kModulus = {0x677297dc392126f1ULL, 0xab3eedb83920ee0aULL, 0x370a08b6d0302b0bULL,
                                    0x060c89ce5c263405ULL};
};
struct WideParams {
  static constexpr Repr kModulus = {~0ULL - 188, ~0ULL, ~0ULL, ~0ULL};
};
using Fsub = PrimeField<SubgroupParams>;
using Fwide = PrimeField<WideParams>;
}  // namespace
// Every member that does not need a root of unity must compile without one.
// Clang before 15 also instantiates the members whose constraints fail.
#if !defined(__clang__) || __clang_major__ >= 15
template class PrimeField<SubgroupParams>;
template class PrimeField<WideParams>;
#endif
namespace {
static_assert(Fsub::kInv == 0x532ce5aebc48f5efULL);

template <class F>
void check_against_reference(uint64_t seed) {
  const Repr m = F::modulus();
  std::mt19937_64 rng(seed);
  const Repr m_minus_one{m[0] - 1, m[1], m[2], m[3]};
  std::vector<Repr> values = {Repr{}, Repr{1, 0, 0, 0}, m_minus_one};
  while (values.size() < 40) {
    Repr r{rng(), rng(), rng(), rng() >> (m[3] >> 63 ? 0 : 5)};
    if (!ge(r, m)) values.push_back(r);
  }
  for (size_t i = 0; i < values.size(); ++i) {
    const Repr& a = values[i];
    const Repr& b = values[(i * 5 + 1) % values.size()];
    const F fa = *F::from_repr(a);
    const F fb = *F::from_repr(b);
    EXPECT_EQ(fa.into_repr(), a);
    EXPECT_EQ((fa * fb).into_repr(), ref_mul(a, b, m));
    F sq = fa;
    sq.square();
    EXPECT_EQ(sq.into_repr(), ref_mul(a, a, m));
    EXPECT_EQ((fa + fb).into_repr(), ref_add(a, b, m));
    EXPECT_EQ((fa - fb + fb), fa);
    EXPECT_EQ(fa + -fa, F::zero());
    if (!fa.is_zero()) {
      EXPECT_EQ(fa * *fa.inverse_vartime(), F::one());
      EXPECT_EQ(*fa.inverse_vartime(), *fa.invert());
    }
  }
  EXPECT_FALSE(F::from_repr(m).has_value());
  EXPECT_TRUE(F::from_raw(m).is_zero());
}

TEST(PrimeField, OtherModuliShareTheCore) {
  check_against_reference<Fsub>(11);
  check_against_reference<Fwide>(12);
}

}  // namespace
}  // namespace quillet::field
