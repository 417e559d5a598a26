// The checked lane policy refuses what the instructions would take silently:
// an operand of 2^52 or more, a value at or above its bound.
#include <gtest/gtest.h>

#include "crypto/failure.hpp"
#include "crypto/field/fr.hpp"
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

}  // namespace
}  // namespace quillet::field::lanes52
