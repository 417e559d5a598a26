// Points of the curve on the eight 52-bit lanes of crypto/field/lanes52.hpp:
// the field operations with the bounds the point formulas need, and additions
// in extended coordinates (a = -1). Shared by the fixed-base lanes (secret
// scalars: nothing here branches or indexes on a value) and the bucket lanes
// of the multi-scalar multiplication (public data).
//
// Like lanes52.hpp this header defines only templates on the vector policy,
// compiled for AVX-512 in one file and for plain integers in another.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/field/lanes52.hpp"

namespace quillet::jubjub::lane_points {

using field::lanes52::kLimbs;

#define QUILLET_LANES_INLINE QUILLET_LANES_FORCE inline

template <class O>
struct LanePoints : field::lanes52::Arith<O> {
  using A = field::lanes52::Arith<O>;
  using typename A::Ctx;
  using typename A::Fe;
  using typename A::V;

  // a·b for a and b below 8p each: the reduction leaves below
  // 64p^2/2^260 + p < 2p, as p < 2^254.
  static QUILLET_LANES_INLINE Fe mul(const Fe& a, const Fe& b, const Ctx& x) {
    O::check_below(a.l, x.p, 8);
    O::check_below(b.l, x.p, 8);
    V t[2 * kLimbs];
    A::clear(t);
    A::mac(t, a, b.l);
    return A::reduce(t, x);
  }

  // a + 2p - b for b below 2p, limbs normalised (signed carries).
  static QUILLET_LANES_INLINE Fe sub(const Fe& a, const Fe& b, const Ctx& x) {
    O::check_below(b.l, x.p, 2);
    Fe r;
    V carry = O::zero();
    for (size_t k = 0; k < kLimbs; ++k) {
      const V s = O::add(O::sub(O::add(a.l[k], x.p2[k]), b.l[k]), carry);
      carry = O::template srai<52>(s);
      r.l[k] = k + 1 < kLimbs ? O::and_(s, x.mask) : s;
    }
    return r;
  }

  static QUILLET_LANES_INLINE Fe broadcast(const uint64_t* limbs) {
    Fe r;
    for (size_t k = 0; k < kLimbs; ++k) r.l[k] = O::set1(limbs[k]);
    return r;
  }

  static QUILLET_LANES_INLINE Fe select(V mask, const Fe& a, const Fe& b) {
    Fe r;
    for (size_t k = 0; k < kLimbs; ++k) r.l[k] = O::select(mask, a.l[k], b.l[k]);
    return r;
  }

  // X, Y, T, Z, each below 2p.
  struct Point {
    Fe x, y, t, z;
  };

  // The end of every addition: E = B - A, H = B + A into X = EF, Y = GH,
  // T = EH, Z = FG, for A, B below 2p and F, G below 6p.
  static QUILLET_LANES_INLINE Point finish(const Fe& a, const Fe& b, const Fe& f, const Fe& g, const Ctx& x) {
    const Fe e = sub(b, a, x);
    const Fe h = A::add(b, a, x);
    return Point{mul(e, f, x), mul(g, h, x), mul(e, h, x), mul(f, g, x)};
  }

  // p + q by the unified formulas (complete on this curve): A = (Y - X)(Y'
  // - X'), B = (Y + X)(Y' + X'), C = T·2d·T', D = 2Z·Z', F = D - C, G = D + C;
  // 9 multiplications. Called, not inlined: each copy is kilobytes of the
  // wheel, and a call is nothing beside its multiplications.
  [[gnu::noinline]] static Point add(const Point& p, const Point& q, const Fe& d2, const Ctx& x) {
    const Fe a = mul(sub(p.y, p.x, x), sub(q.y, q.x, x), x);
    const Fe b = mul(A::add(p.y, p.x, x), A::add(q.y, q.x, x), x);
    const Fe c = mul(mul(p.t, d2, x), q.t, x);
    const Fe d = mul(A::add(p.z, p.z, x), q.z, x);
    return finish(a, b, sub(d, c, x), A::add(d, c, x), x);
  }
};

#undef QUILLET_LANES_INLINE

}  // namespace quillet::jubjub::lane_points
