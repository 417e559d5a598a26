// The Poseidon permutation on eight states at once, each field element as
// five 52-bit limbs in Montgomery form with R = 2^260, one state per 64-bit
// lane. Written once over a vector policy O and compiled twice: with AVX-512
// IFMA intrinsics (lanes52_ifma.cpp, built for that instruction set alone)
// and with plain integer arithmetic (lanes52_emulated.cpp, any processor).
//
// This header includes nothing but fixed-width integers, and everything in it
// is a template on O: a translation unit built for AVX-512 then emits no code
// that another unit could link in place of its own.
//
// Bounds: every element between operations is below 2p (p < 2^254, so 64p
// < 2^260 = R). A Montgomery reduction of a sum T of products leaves less
// than T/R + p, which stays below 2p for the sums formed here (at most twelve
// products of a value below 4p and a constant below p). The one sum with an
// addend below 2p gets a conditional subtraction of 2p. Multiplication
// operands need normalised limbs (the instructions read 52 bits), so every
// addition carries.
//
// Every step is free of data-dependent branches and memory indexes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet::poseidon::lanes52 {

inline constexpr size_t kLanes = 8;
inline constexpr size_t kLimbs = 5;
inline constexpr size_t kStateWidth = 9;

// One element: limb 0 least significant, each below 2^52.
struct Limbs {
  uint64_t v[kLimbs];
};

// Eight states as [element][limb][lane]: each element canonical (below p),
// in the 2^256 Montgomery form of the scalar field code.
struct Block {
  uint64_t words[kStateWidth][kLimbs][kLanes];
};

// The constants of one permutation in the 2^260 form, canonical; arrays owned
// by the LaneSpec that fills this view.
struct Constants {
  Limbs modulus;
  Limbs twice_modulus;
  uint64_t neg_inverse = 0;  // -p^-1 mod 2^52
  Limbs to_lanes;            // 2^264 mod p: 2^256 form -> 2^260 form
  Limbs from_lanes;          // 2^256 mod p: 2^260 form -> 2^256 form
  size_t half_full_rounds = 0;
  size_t partial_rounds = 0;
  size_t partial_block = 0;
  const Limbs* start = nullptr;           // (half_full_rounds + 1) rows of 9
  const Limbs* end = nullptr;             // (half_full_rounds - 1) rows of 9
  const Limbs* mds = nullptr;             // 9 x 9, row-major
  const Limbs* transition = nullptr;      // 9 x 9
  const Limbs* partial_constants = nullptr;  // one per partial round
  const Limbs* first_row = nullptr;       // 9 per partial round
  const Limbs* first_column = nullptr;    // 8 per partial round
  const Limbs* block_terms = nullptr;     // partial_block - 1 per partial round
};

#define QUILLET_LANES_INLINE __attribute__((always_inline)) inline

template <class O>
struct Kernel {
  using V = typename O::V;
  static constexpr uint64_t kMask = (uint64_t{1} << 52) - 1;

  struct Fe {
    V l[kLimbs];
  };

  // The constants the arithmetic reads, broadcast once per call.
  struct Ctx {
    V p[kLimbs];
    V p2[kLimbs];
    V inv;
    V mask;
  };

  static QUILLET_LANES_INLINE Ctx context(const Constants& c) {
    Ctx x;
    for (size_t i = 0; i < kLimbs; ++i) {
      x.p[i] = O::set1(c.modulus.v[i]);
      x.p2[i] = O::set1(c.twice_modulus.v[i]);
    }
    x.inv = O::set1(c.neg_inverse);
    x.mask = O::set1(kMask);
    return x;
  }

  // t[0..9] += a·b, limb products as they come: each column a sum of 52-bit
  // halves, far from overflowing 64 bits for the sums formed here.
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
      const V m = O::madd_lo(O::zero(), t[i], x.inv);
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
    V t[2 * kLimbs];
    clear(t);
    mac(t, a, b.l);
    return reduce(t, x);
  }

  static QUILLET_LANES_INLINE Fe mul_const(const Fe& a, const Limbs& c, const Ctx& x) {
    V t[2 * kLimbs];
    clear(t);
    mac_const(t, a, c);
    return reduce(t, x);
  }

  // a + c with the carries propagated.
  static QUILLET_LANES_INLINE Fe add_const(const Fe& a, const Limbs& c, const Ctx& x) {
    Fe r;
    V carry = O::zero();
    for (size_t k = 0; k < kLimbs; ++k) {
      const V s = O::add(O::add(a.l[k], O::set1(c.v[k])), carry);
      carry = O::template srli<52>(s);
      r.l[k] = k + 1 < kLimbs ? O::and_(s, x.mask) : s;
    }
    return r;
  }

  // v - q if v >= q, else v, for v < 2q; by mask, not by branch.
  static QUILLET_LANES_INLINE Fe sub_if_ge(const Fe& v, const V* q, const Ctx& x) {
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

  // x^5 as x·(x^2)^2.
  static QUILLET_LANES_INLINE Fe sbox(const Fe& a, const Ctx& x) {
    Fe t = mul(a, a, x);
    t = mul(t, t, x);
    return mul(a, t, x);
  }

  static QUILLET_LANES_INLINE void add_row(Fe* s, const Limbs* row, const Ctx& x) {
    for (size_t i = 0; i < kStateWidth; ++i) s[i] = add_const(s[i], row[i], x);
  }

  static QUILLET_LANES_INLINE void sbox_full(Fe* s, const Ctx& x) {
    for (size_t i = 0; i < kStateWidth; ++i) s[i] = sbox(s[i], x);
  }

  // Row `row` of m applied to s.
  static QUILLET_LANES_INLINE Fe matrix_row(const Limbs* m, size_t row, const Fe* s, const Ctx& x) {
    V t[2 * kLimbs];
    clear(t);
    for (size_t j = 0; j < kStateWidth; ++j) mac_const(t, s[j], m[row * kStateWidth + j]);
    return reduce(t, x);
  }

  static QUILLET_LANES_INLINE void apply_matrix(const Limbs* m, Fe* s, const Ctx& x) {
    Fe w[kStateWidth];
    for (size_t i = 0; i < kStateWidth; ++i) w[i] = s[i];
    for (size_t i = 0; i < kStateWidth; ++i) s[i] = matrix_row(m, i, w, x);
  }

  // n partial rounds from round `start` (n <= partial_block), as the scalar
  // permutation groups them: element 0 round by round, elements 1 to 8 once
  // at the end with the block's pending products.
  static void partial_block(const Constants& c, size_t start, size_t n, Fe* s, const Ctx& x) {
    Fe u[8];
    const size_t terms = c.partial_block - 1;
    for (size_t r = 0; r < n; ++r) {
      const size_t k = start + r;
      u[r] = add_const(sbox(s[0], x), c.partial_constants[k], x);
      const Limbs* row = c.first_row + k * kStateWidth;
      V t[2 * kLimbs];
      clear(t);
      for (size_t i = 1; i < kStateWidth; ++i) mac_const(t, s[i], row[i]);
      for (size_t j = 0; j < r; ++j) mac_const(t, u[j], c.block_terms[k * terms + j]);
      mac_const(t, u[r], row[0]);
      s[0] = reduce(t, x);
    }
    for (size_t i = 1; i < kStateWidth; ++i) {
      V t[2 * kLimbs];
      clear(t);
      // The addend as addend·2^260: it joins the top half of the sum.
      for (size_t k = 0; k < kLimbs; ++k) t[kLimbs + k] = s[i].l[k];
      for (size_t j = 0; j < n; ++j) mac_const(t, u[j], c.first_column[(start + j) * (kStateWidth - 1) + i - 1]);
      s[i] = sub_if_ge(reduce(t, x), x.p2, x);
    }
  }

  // The permutation of the eight states of `b`; with squeeze_only, element 1
  // alone is computed in the last step and the others are left unspecified.
  static void permute(const Constants& c, Block& b, bool squeeze_only) {
    const Ctx x = context(c);
    Fe s[kStateWidth];
    for (size_t e = 0; e < kStateWidth; ++e) {
      Fe in;
      for (size_t k = 0; k < kLimbs; ++k) in.l[k] = O::load(b.words[e][k]);
      s[e] = mul_const(in, c.to_lanes, x);
    }
    const size_t h = c.half_full_rounds;
    add_row(s, c.start, x);
    for (size_t k = 1; k < h; ++k) {
      sbox_full(s, x);
      add_row(s, c.start + k * kStateWidth, x);
      apply_matrix(c.mds, s, x);
    }
    sbox_full(s, x);
    add_row(s, c.start + h * kStateWidth, x);
    apply_matrix(c.transition, s, x);

    for (size_t k = 0; k < c.partial_rounds; k += c.partial_block) {
      const size_t left = c.partial_rounds - k;
      partial_block(c, k, left < c.partial_block ? left : c.partial_block, s, x);
    }

    for (size_t k = 0; k + 1 < h; ++k) {
      sbox_full(s, x);
      add_row(s, c.end + k * kStateWidth, x);
      apply_matrix(c.mds, s, x);
    }
    sbox_full(s, x);
    const size_t first = squeeze_only ? 1 : 0;
    const size_t last = squeeze_only ? 2 : kStateWidth;
    Fe out[kStateWidth];
    for (size_t e = first; e < last; ++e) out[e] = matrix_row(c.mds, e, s, x);
    for (size_t e = first; e < last; ++e) {
      const Fe v = sub_if_ge(mul_const(out[e], c.from_lanes, x), x.p, x);
      for (size_t k = 0; k < kLimbs; ++k) O::store(b.words[e][k], v.l[k]);
    }
  }
};

#undef QUILLET_LANES_INLINE

// The two builds of Kernel<O>::permute. permute_ifma requires a processor
// with AVX-512F and AVX-512 IFMA (and an operating system that saves their
// registers).
void permute_emulated(const Constants& c, Block& b, bool squeeze_only);
void permute_ifma(const Constants& c, Block& b, bool squeeze_only);

// Whether this build holds the IFMA kernel at all.
bool ifma_compiled();

}  // namespace quillet::poseidon::lanes52
