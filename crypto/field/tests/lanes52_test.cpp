// The lane arithmetic against Fr's, and the checked lane policy, which
// refuses what the instructions would take silently: an operand of 2^52 or
// more, a value at or above its bound.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/field/fr.hpp"
#include "crypto/field/fr_lanes.hpp"
#include "crypto/field/lanes52_ops.hpp"

namespace quillet::field::lanes52 {
namespace {

using A = Arith<Checked>;

A::Fe broadcast(const Repr& v) {
  const Limbs l = split52(v);
  A::Fe r;
  for (size_t k = 0; k < kLimbs; ++k) r.l[k] = Checked::set1(l.v[k]);
  return r;
}

TEST(CheckedLanes, RefuseOperandsAndValuesOutOfBounds) {
  const Repr p = Fr::kModulus;
  const Repr p2 = {p[0] << 1, (p[1] << 1) | (p[0] >> 63), (p[2] << 1) | (p[1] >> 63), (p[3] << 1) | (p[2] >> 63)};
  const Repr p2_less_one = {p2[0] - 1, p2[1], p2[2], p2[3]};  // p2[0] is even, not zero
  const A::Ctx x = A::context(Modulus{split52(p), split52(p2), Fr::kInv & ((uint64_t{1} << 52) - 1)});
  const A::Fe small = broadcast(Repr{5, 0, 0, 0});
  const A::Fe below_2p = broadcast(p2_less_one);
  const A::Fe at_2p = broadcast(p2);
  A::Fe wide_limb = small;
  wide_limb.l[0] = Checked::set1(uint64_t{1} << 52);

  EXPECT_NO_THROW(A::mul(below_2p, below_2p, x));
  EXPECT_NO_THROW(A::sub_if_ge(below_2p, x.p, x));
  EXPECT_THROW(Checked::madd_lo(Checked::zero(), wide_limb.l[0], small.l[0]), HardFailure);
  EXPECT_THROW(Checked::madd_hi(Checked::zero(), small.l[0], wide_limb.l[0]), HardFailure);
  EXPECT_THROW(A::mul(at_2p, small, x), HardFailure);
  EXPECT_THROW(A::mul(small, wide_limb, x), HardFailure);
  EXPECT_THROW(A::sub_if_ge(at_2p, x.p, x), HardFailure);
}

// Lane i's value, as the lanes hold it (a residue not yet reduced below p).
Repr lane(const A::Fe& a, size_t i) {
  uint64_t limbs[kLimbs][kLanes];
  A::store(limbs, a);
  return join52(&limbs[0][i], kLanes);
}

// r mod p for r below 4p.
Repr residue(Repr r) {
  while (!detail::less_than_vartime(r, Fr::kModulus)) detail::sub_borrow(r, r, Fr::kModulus);
  return r;
}

Repr lane_form(const Fr& v) {
  const Limbs l = fr_lanes::to_lanes(v);
  return join52(l.v, 1);
}

TEST(Lanes52, ProductsSumsAndReductionsAgreeWithFr) {
  // Random elements and the edges 0, 1, 2 and -1, each lane also as its
  // twin v + p (below 2p, as lane results leave values), under the checked
  // policy: every operand's bound is asserted on the way.
  std::mt19937_64 rng(52);
  std::vector<Fr> values = {Fr::zero(), Fr::one(), Fr::from_u128(2, 0), -Fr::one()};
  while (values.size() < 64) {
    values.push_back(Fr::from_u512({rng(), rng(), rng(), rng(), rng(), rng(), rng(), rng()}));
  }
  const Modulus m = fr_lanes::modulus();
  const A::Ctx x = A::context(m);
  const Repr two_p = join52(m.twice_p.v, 1);
  for (size_t first = 0; first < values.size(); first += kLanes) {
    for (const bool twins : {false, true}) {
      uint64_t a_limbs[kLimbs][kLanes], b_limbs[kLimbs][kLanes];
      std::vector<Fr> a, b;
      for (size_t i = 0; i < kLanes; ++i) {
        a.push_back(values[first + i]);
        b.push_back(values[(first * 3 + 5 * i + 1) % values.size()]);
        Repr ar = lane_form(a[i]), br = lane_form(b[i]);
        // Twins in every other lane, so that both forms meet in one product.
        if (twins && i % 2 == 0) detail::add_carry(ar, ar, Fr::kModulus);
        if (twins && i % 4 < 2) detail::add_carry(br, br, Fr::kModulus);
        const Limbs al = split52(ar), bl = split52(br);
        for (size_t k = 0; k < kLimbs; ++k) {
          a_limbs[k][i] = al.v[k];
          b_limbs[k][i] = bl.v[k];
        }
      }
      const A::Fe la = A::load(a_limbs), lb = A::load(b_limbs);
      const A::Fe product = A::mul(la, lb, x);
      const A::Fe sum = A::add(la, lb, x);
      const A::Fe sum_below_2p = A::sub_if_ge(sum, x.p2, x);
      const A::Fe back = A::mul_const(product, fr_lanes::from_lanes(), x);
      const A::Fe reduced = A::sub_if_ge(product, x.p, x);
      for (size_t i = 0; i < kLanes; ++i) {
        const Fr ab = a[i] * b[i];
        EXPECT_EQ(residue(lane(product, i)), lane_form(ab)) << first + i << " twins " << twins;
        EXPECT_TRUE(detail::less_than_vartime(lane(product, i), two_p)) << first + i;
        EXPECT_EQ(lane(reduced, i), lane_form(ab)) << first + i;
        EXPECT_EQ(residue(lane(sum, i)), lane_form(a[i] + b[i])) << first + i;
        EXPECT_EQ(residue(lane(sum_below_2p, i)), lane_form(a[i] + b[i])) << first + i;
        EXPECT_TRUE(detail::less_than_vartime(lane(sum_below_2p, i), two_p)) << first + i;
        EXPECT_EQ(residue(lane(back, i)), ab.montgomery_limbs()) << first + i;
      }
    }
  }
}

}  // namespace
}  // namespace quillet::field::lanes52
