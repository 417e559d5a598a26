// Field arithmetic on eight elements at once, one per 64-bit lane, each as
// five 52-bit limbs in Montgomery form with R = 2^260. Written once over a
// vector policy O (lanes52_ops.hpp: AVX-512 IFMA intrinsics, or plain
// integers) so that the same algorithm is compiled for the instructions and
// tested without them.
//
// The templates work on fixed-width integers only, and everything inline
// here is a template on O: a translation unit built for AVX-512 then emits
// no code that another unit could link in place of its own. The few
// non-templates (conversions from and to Repr) are
// declared here and defined out of line, in code built for any processor.
//
// Bounds: for a modulus p < 2^254, 64p < 2^260 = R. A Montgomery reduction of
// a sum T of products leaves less than T/R + p; users keep their sums small
// enough that this stays below 2p (and say how). Multiplication operands need
// normalised limbs (the instructions read 52 bits), so every addition
// carries. Every step is free of data-dependent branches and memory indexes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/field/repr.hpp"

namespace quillet::field::lanes52 {

inline constexpr size_t kLanes = 8;
inline constexpr size_t kLimbs = 5;

// One element: limb 0 least significant, each below 2^52.
struct Limbs {
  uint64_t v[kLimbs];
};

// What the reduction needs of the modulus.
struct Modulus {
  Limbs p;
  Limbs twice_p;
  uint64_t neg_inverse = 0;  // -p^-1 mod 2^52
};

// The 52-bit limbs of a value below 2^260, and back (limb i of the value at
// l[i * stride]).
Limbs split52(const Repr& r);
Repr join52(const uint64_t* l, size_t stride);

// The IFMA kernel is forced inline into one straight run of vector code. The
// emulated kernel (tests, forcing) is left to the compiler and built for size
// (-O1, cmake): inlining all of it cost minutes of compile time and megabytes
// of code for a path that only has to be right.
#if defined(QUILLET_LANES_IFMA)
#define QUILLET_LANES_FORCE __attribute__((always_inline))
#else
#define QUILLET_LANES_FORCE
#endif
#define QUILLET_LANES_INLINE QUILLET_LANES_FORCE inline

template <class O>
struct Arith {
  using V = typename O::V;
  static constexpr uint64_t kMask = (uint64_t{1} << 52) - 1;

  struct Fe {
    V l[kLimbs];
  };

  // The modulus as the arithmetic reads it, broadcast once per call.
  struct Ctx {
    V p[kLimbs];
    V p2[kLimbs];
    V inv;
    V mask;
  };

  static QUILLET_LANES_INLINE Ctx context(const Modulus& m) {
    Ctx x;
    for (size_t i = 0; i < kLimbs; ++i) {
      x.p[i] = O::set1(m.p.v[i]);
      x.p2[i] = O::set1(m.twice_p.v[i]);
    }
    x.inv = O::set1(m.neg_inverse);
    x.mask = O::set1(kMask);
    return x;
  }

  static QUILLET_LANES_INLINE Fe load(const uint64_t (*limbs)[kLanes]) {
    Fe r;
    for (size_t k = 0; k < kLimbs; ++k) r.l[k] = O::load(limbs[k]);
    return r;
  }

  static QUILLET_LANES_INLINE void store(uint64_t (*limbs)[kLanes], const Fe& a) {
    for (size_t k = 0; k < kLimbs; ++k) O::store(limbs[k], a.l[k]);
  }

  // t[0..9] += a·b, limb products as they come: each column a sum of 52-bit
  // halves, far from overflowing 64 bits for sums of a dozen products.
  static QUILLET_LANES_INLINE void mac(V* t, const Fe& a, const V* b) {
#pragma GCC unroll 5
    for (size_t i = 0; i < kLimbs; ++i) {
#pragma GCC unroll 5
      for (size_t j = 0; j < kLimbs; ++j) {
        t[i + j] = O::madd_lo(t[i + j], a.l[i], b[j]);
        t[i + j + 1] = O::madd_hi(t[i + j + 1], a.l[i], b[j]);
      }
    }
  }

  static QUILLET_LANES_INLINE void mac_const(V* t, const Fe& a, const Limbs& c) {
    V b[kLimbs];
    for (size_t j = 0; j < kLimbs; ++j) b[j] = O::set1(c.v[j]);
    mac(t, a, b);
  }

  static QUILLET_LANES_INLINE void clear(V* t) {
    for (size_t k = 0; k < 2 * kLimbs; ++k) t[k] = O::zero();
  }

  // (t + m·p)/2^260 with normalised limbs: word by word, each step's carry
  // moved up before the next quotient digit is formed.
  static QUILLET_LANES_INLINE Fe reduce(V* t, const Ctx& x) {
#pragma GCC unroll 5
    for (size_t i = 0; i < kLimbs; ++i) {
      const V m = O::madd_lo_low52(O::zero(), t[i], x.inv);
#pragma GCC unroll 5
      for (size_t j = 0; j < kLimbs; ++j) {
        t[i + j] = O::madd_lo(t[i + j], m, x.p[j]);
        t[i + j + 1] = O::madd_hi(t[i + j + 1], m, x.p[j]);
      }
      t[i + 1] = O::add(t[i + 1], O::template srli<52>(t[i]));
    }
    Fe r;
    for (size_t k = 0; k + 1 < kLimbs; ++k) {
      t[kLimbs + k + 1] = O::add(t[kLimbs + k + 1], O::template srli<52>(t[kLimbs + k]));
      r.l[k] = O::and_(t[kLimbs + k], x.mask);
    }
    r.l[kLimbs - 1] = t[2 * kLimbs - 1];
    return r;
  }

  static QUILLET_LANES_INLINE Fe mul(const Fe& a, const Fe& b, const Ctx& x) {
    O::check_below(a.l, x.p, 2);
    O::check_below(b.l, x.p, 2);
    V t[2 * kLimbs];
    clear(t);
    mac(t, a, b.l);
    return reduce(t, x);
  }

  static QUILLET_LANES_INLINE Fe mul_const(const Fe& a, const Limbs& c, const Ctx& x) {
    O::check_below(a.l, x.p, 2);
    V t[2 * kLimbs];
    clear(t);
    mac_const(t, a, c);
    return reduce(t, x);
  }

  // a + b with the carries propagated.
  static QUILLET_LANES_INLINE Fe add(const Fe& a, const Fe& b, const Ctx& x) {
    Fe r;
    V carry = O::zero();
    for (size_t k = 0; k < kLimbs; ++k) {
      const V s = O::add(O::add(a.l[k], b.l[k]), carry);
      carry = O::template srli<52>(s);
      r.l[k] = k + 1 < kLimbs ? O::and_(s, x.mask) : s;
    }
    return r;
  }

  // a + c, c in every lane.
  static QUILLET_LANES_INLINE Fe add_const(const Fe& a, const Limbs& c, const Ctx& x) {
    Fe b;
    for (size_t k = 0; k < kLimbs; ++k) b.l[k] = O::set1(c.v[k]);
    return add(a, b, x);
  }

  // The 52-bit limbs of a value below 2^260, four words w, into l[0],
  // l[stride], ..., l[4 * stride]; and back.
  static QUILLET_LANES_INLINE void split(const uint64_t* w, uint64_t* l, size_t stride) {
    l[0] = w[0] & kMask;
    l[stride] = ((w[0] >> 52) | (w[1] << 12)) & kMask;
    l[2 * stride] = ((w[1] >> 40) | (w[2] << 24)) & kMask;
    l[3 * stride] = ((w[2] >> 28) | (w[3] << 36)) & kMask;
    l[4 * stride] = w[3] >> 16;
  }

  static QUILLET_LANES_INLINE void join(const uint64_t* l, size_t stride, uint64_t* w) {
    const uint64_t l0 = l[0], l1 = l[stride], l2 = l[2 * stride], l3 = l[3 * stride], l4 = l[4 * stride];
    w[0] = l0 | (l1 << 52);
    w[1] = (l1 >> 12) | (l2 << 40);
    w[2] = (l2 >> 24) | (l3 << 28);
    w[3] = (l3 >> 36) | (l4 << 16);
  }

  // v - q if v >= q, else v, for v < 2q; by mask, not by branch.
  static QUILLET_LANES_INLINE Fe sub_if_ge(const Fe& v, const V* q, const Ctx& x) {
    O::check_below(v.l, q, 2);
    Fe d;
    V borrow = O::zero();
    for (size_t k = 0; k < kLimbs; ++k) {
      const V s = O::add(O::sub(v.l[k], q[k]), borrow);
      borrow = O::template srai<52>(s);  // 0 or -1
      d.l[k] = k + 1 < kLimbs ? O::and_(s, x.mask) : s;
    }
    const V below = O::template srai<63>(d.l[kLimbs - 1]);  // all ones when v < q
    Fe r;
    for (size_t k = 0; k < kLimbs; ++k) r.l[k] = O::select(below, v.l[k], d.l[k]);
    return r;
  }
};

#undef QUILLET_LANES_INLINE

}  // namespace quillet::field::lanes52
