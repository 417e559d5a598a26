// Coordinate systems of the curve -x^2 + y^2 = 1 + d·x^2·y^2 for the scalar
// multiplications, with the formulas of Hisil, Wong, Carter and Dawson for
// a = -1. Each form saves multiplications where a point is only doubled, only
// added, or added many times; all of them give the same projective points as
// the unified addition and the doubling of Point. The formulas are complete
// (d is a non-square and -1 a square): no input makes them divide by zero or
// branch. Nothing here checks its input; Point is the public type.
//
// Costs in field multiplications (M, squarings counted as M): doubling 4M to
// Completed; addition of a CachedNiels 4M and of an AffineNiels 3M to
// Completed; Completed to Projective 3M, to Extended 4M.
#pragma once

#include <cstdint>

#include "crypto/field/fr.hpp"
#include "crypto/jubjub/mul_policy.hpp"

namespace quillet::jubjub::detail {

using field::Fr;

// (X : Y : T : Z) with x = X/Z, y = Y/Z and T = X·Y/Z.
struct Extended {
  Fr x;
  Fr y;
  Fr t;
  Fr z;
};

// (X : Y : Z): all a doubling needs.
struct Projective {
  Fr x;
  Fr y;
  Fr z;
};

// An addition or doubling before its last products: X = E·F, Y = G·H,
// T = E·H, Z = F·G.
struct Completed {
  Fr e;
  Fr f;
  Fr g;
  Fr h;
};

// An affine point ready for mixed addition: (y + x, y - x, 2d·x·y).
struct AffineNiels {
  Fr y_plus_x;
  Fr y_minus_x;
  Fr xy2d;
};

// A projective point ready for addition: (Y + X, Y - X, 2Z, 2d·T).
struct CachedNiels {
  Fr y_plus_x;
  Fr y_minus_x;
  Fr z2;
  Fr t2d;
};

inline Extended identity_extended() { return {Fr::zero(), Fr::one(), Fr::zero(), Fr::one()}; }
inline AffineNiels identity_affine_niels() { return {Fr::one(), Fr::one(), Fr::zero()}; }
inline CachedNiels identity_cached() { return {Fr::one(), Fr::one(), Fr::one() + Fr::one(), Fr::zero()}; }

template <class M = Dispatched>
inline Extended to_extended(const Completed& c) {
  return {M::mul(c.e, c.f), M::mul(c.g, c.h), M::mul(c.e, c.h), M::mul(c.f, c.g)};
}
template <class M = Dispatched>
inline Projective to_projective(const Completed& c) {
  return {M::mul(c.e, c.f), M::mul(c.g, c.h), M::mul(c.f, c.g)};
}
inline Projective to_projective(const Extended& p) { return {p.x, p.y, p.z}; }

// `d2` is 2d.
template <class M = Dispatched>
inline CachedNiels to_cached(const Extended& p, const Fr& d2) {
  return {p.y + p.x, p.y - p.x, p.z + p.z, M::mul(p.t, d2)};
}

// On input, (x, y) is affine. `d2` is 2d.
inline AffineNiels to_affine_niels(const Fr& x, const Fr& y, const Fr& d2) { return {y + x, y - x, x * y * d2}; }

// 2·p: A = X^2, B = Y^2, C = 2Z^2, E = (X + Y)^2 - A - B, G = B - A,
// F = G - C, H = -A - B, returned as (E, -F, G, -H), the same point scaled
// by -1, which saves the negation.
template <class M = Dispatched>
inline Completed dbl(const Projective& p) {
  const Fr a = M::sq(p.x);
  const Fr b = M::sq(p.y);
  Fr c = M::sq(p.z);
  c.double_();
  const Fr sum = a + b;
  Fr e = M::sq(p.x + p.y);
  e.sub_assign(sum);
  const Fr g = b - a;
  return {e, c - g, g, sum};
}

template <class M = Dispatched>
inline Completed add(const Extended& p, const CachedNiels& q) {
  const Fr a = M::mul(p.y - p.x, q.y_minus_x);
  const Fr b = M::mul(p.y + p.x, q.y_plus_x);
  const Fr c = M::mul(p.t, q.t2d);
  const Fr d = M::mul(p.z, q.z2);
  return {b - a, d - c, d + c, b + a};
}

// p - q: q negated is (Y - X, Y + X, 2Z, -2d·T).
template <class M = Dispatched>
inline Completed sub(const Extended& p, const CachedNiels& q) {
  const Fr a = M::mul(p.y - p.x, q.y_plus_x);
  const Fr b = M::mul(p.y + p.x, q.y_minus_x);
  const Fr c = M::mul(p.t, q.t2d);
  const Fr d = M::mul(p.z, q.z2);
  return {b - a, d + c, d - c, b + a};
}

template <class M = Dispatched>
inline Completed add(const Extended& p, const AffineNiels& q) {
  const Fr a = M::mul(p.y - p.x, q.y_minus_x);
  const Fr b = M::mul(p.y + p.x, q.y_plus_x);
  const Fr c = M::mul(p.t, q.xy2d);
  const Fr d = p.z + p.z;
  return {b - a, d - c, d + c, b + a};
}

template <class M = Dispatched>
inline Completed sub(const Extended& p, const AffineNiels& q) {
  const Fr a = M::mul(p.y - p.x, q.y_plus_x);
  const Fr b = M::mul(p.y + p.x, q.y_minus_x);
  const Fr c = M::mul(p.t, q.xy2d);
  const Fr d = p.z + p.z;
  return {b - a, d + c, d - c, b + a};
}

// Constant-time moves: `mask` is all ones (take `src`) or zero (keep `dst`).
// p + q, both extended: q's cached form, then one addition.
template <class M = Dispatched>
inline Extended add_points(const Extended& p, const Extended& q, const Fr& d2) {
  return to_extended<M>(add<M>(p, to_cached<M>(q, d2)));
}

inline Extended negate(const Extended& p) { return {-p.x, p.y, -p.t, p.z}; }

// 2^64·p by 64 doublings: the base of a scalar's next 64-bit quarter.
inline Extended times_2_64(const Extended& p) {
  Completed c = dbl(to_projective(p));
  for (int n = 1; n < 64; ++n) c = dbl(to_projective(c));
  return to_extended(c);
}

// Whether p is the neutral point: X = 0 and Y = Z.
inline bool is_identity_vartime(const Extended& p) { return p.x.is_zero() && p.y == p.z; }

inline void cmov(Fr& dst, const Fr& src, uint64_t mask) {
  dst = Fr::from_montgomery_limbs(field::detail::select(dst.montgomery_limbs(), src.montgomery_limbs(), mask));
}

inline void cmov(AffineNiels& dst, const AffineNiels& src, uint64_t mask) {
  cmov(dst.y_plus_x, src.y_plus_x, mask);
  cmov(dst.y_minus_x, src.y_minus_x, mask);
  cmov(dst.xy2d, src.xy2d, mask);
}

inline void cmov(CachedNiels& dst, const CachedNiels& src, uint64_t mask) {
  cmov(dst.y_plus_x, src.y_plus_x, mask);
  cmov(dst.y_minus_x, src.y_minus_x, mask);
  cmov(dst.z2, src.z2, mask);
  cmov(dst.t2d, src.t2d, mask);
}

// The negation of a Niels form where `mask` is all ones, in constant time:
// y + x and y - x swap and the 2d·x·y term changes sign.
template <class Niels>
void cneg(Niels& p, uint64_t mask) {
  const Fr y_plus_x = p.y_plus_x;
  cmov(p.y_plus_x, p.y_minus_x, mask);
  cmov(p.y_minus_x, y_plus_x, mask);
  if constexpr (requires { p.t2d; }) {
    cmov(p.t2d, -p.t2d, mask);
  } else {
    cmov(p.xy2d, -p.xy2d, mask);
  }
}

// All ones when a == b, else zero; no branch.
inline uint64_t eq_mask(uint64_t a, uint64_t b) { return 0 - (((a ^ b) - 1) >> 63); }

}  // namespace quillet::jubjub::detail
