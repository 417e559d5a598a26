// The Poseidon permutation on eight states at once, one state per 64-bit
// lane, in the field arithmetic of crypto/field/lanes52.hpp (five 52-bit
// limbs, Montgomery form with R = 2^260). Compiled twice: with AVX-512 IFMA
// intrinsics (lanes52_ifma.cpp, built for that instruction set alone) and
// with plain integer arithmetic (lanes52_emulated.cpp, any processor).
//
// Bounds: every element between operations is below 2p. The sums reduced
// here hold at most twelve products of a value below 4p and a constant below
// p, so each reduction leaves less than 2p. The one sum with an addend below
// 2p gets a conditional subtraction of 2p.
//
// Every step is free of data-dependent branches and memory indexes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/field/lanes52.hpp"

namespace quillet::poseidon::lanes52 {

using field::lanes52::kLanes;
using field::lanes52::kLimbs;
using field::lanes52::Limbs;
inline constexpr size_t kStateWidth = 9;

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
struct Kernel : field::lanes52::Arith<O> {
  using A = field::lanes52::Arith<O>;
  using typename A::Ctx;
  using typename A::Fe;
  using typename A::V;
  using A::add_const;
  using A::clear;
  using A::mac_const;
  using A::mul;
  using A::mul_const;
  using A::reduce;
  using A::sub_if_ge;

  static QUILLET_LANES_INLINE Ctx context(const Constants& c) {
    return A::context(field::lanes52::Modulus{c.modulus, c.twice_modulus, c.neg_inverse});
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
