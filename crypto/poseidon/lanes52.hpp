// The Poseidon permutation on eight states at once, one state per 64-bit
// lane, and on one state across the lanes (one_state), in the field arithmetic of crypto/field/lanes52.hpp (five 52-bit
// limbs, Montgomery form with R = 2^260). Compiled twice: with AVX-512 IFMA
// intrinsics (lanes52_ifma.cpp, built for that instruction set alone) and
// with plain integer arithmetic (lanes52_emulated.cpp, any processor).
//
// Bounds: every element between operations is below 2p. The sums reduced
// here hold at most twelve products of a value below 4p and a constant below
// p, so each reduction leaves less than 2p. The one sum with an addend below
// 2p gets a conditional subtraction of 2p. The one-state kernel states its
// own sums' bounds.
//
// Every step is free of data-dependent branches and memory indexes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/field/lane_kernels.hpp"
#include "crypto/field/lanes52.hpp"

namespace quillet::poseidon {
class LaneSpec;
}

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

// The one-state kernel keeps a state's elements 1 to 8 in the lanes, in the
// 2^260 form, and element 0 on the scalar side in the scalar code's 2^256
// form: a product of a 2^256-form value and a constant c·2^264 reduces to the
// 2^260 form, one of a 2^260-form value and c·2^256 to the 2^256 form, so the
// two sides exchange values without conversions.

// Eight per-lane constants, [limb][lane].
struct LaneVector {
  alignas(64) uint64_t v[kLimbs][kLanes];
};

// A dense matrix step of the one-state kernel. Lane i of column j holds entry
// (i + 1, j), in the form that brings column j's input to the step's output
// form; row 0 is for the scalar side (scalar Montgomery limbs, entries 1 to 8
// divided by 16 so that they take 2^260-form inputs).
struct OneStateMatrix {
  LaneVector columns[kStateWidth];
  uint64_t row0[kStateWidth][4];
};

// Eight partial rounds from round `start` in the one-state kernel. Lane t of
// rows[i - 1] holds first_row_(start+t)[i], in the 2^256 form (its products
// with elements 1 to 8 come out in element 0's form); lane i - 1 of
// columns[j] holds first_column_(start+j)[i - 1]·2^264 (element 0's S-box
// outputs go into the lanes' form). Lanes past the last round are zero.
struct OneStateBlock {
  LaneVector rows[kLanes];
  LaneVector columns[kLanes];
};

// The one-state kernel's constants: element 0's round constants in the scalar
// form, elements 1 to 8's per lane in the 2^260 form, the matrix steps and the
// blocks of partial rounds; `owner` holds what element 0's side of the
// partial rounds reads.
struct OneStateConstants {
  const uint64_t (*start0)[4] = nullptr;  // half_full_rounds + 1
  const uint64_t (*end0)[4] = nullptr;    // half_full_rounds - 1
  const LaneVector* start = nullptr;
  const LaneVector* end = nullptr;
  const OneStateMatrix* mds = nullptr;         // output in the 2^260 form
  const OneStateMatrix* mds_out = nullptr;     // output in the 2^256 form
  const OneStateMatrix* transition = nullptr;  // output in the 2^260 form
  const OneStateBlock* blocks = nullptr;       // one per kLanes partial rounds
  const LaneSpec* owner = nullptr;
};

// Element 0 of the one-state kernel: canonical scalar Montgomery limbs, and
// the same value as 52-bit limbs for the lanes.
struct Element0 {
  uint64_t words[4];
  uint64_t limbs[kLimbs];
};

// The one-state kernel's scalar steps, compiled without AVX-512 (lanes.cpp):
// e = e^5 + c (c null: none); e = e + c; e = row0 · (e, v) with v the lanes'
// elements 1 to 8, canonical, as stored by the kernel.
void element0_sbox_add(Element0& e, const uint64_t* c);
void element0_add(Element0& e, const uint64_t* c);
void element0_row(Element0& e, const uint64_t (*row0)[4], const uint64_t (*v)[kLanes]);
// Element 0's side of n <= kLanes partial rounds from round `start`: lane t
// of d holds the sum of first_row_(start+t)[1..8] times elements 1 to 8 at the
// block's start (canonical, scalar form). Runs the rounds' S-boxes and
// element 0's sums, and stores the S-box outputs as 52-bit limbs, lane t of
// u for round start + t.
void element0_partial(const LaneSpec& owner, size_t start, size_t n, Element0& e, const uint64_t (*d)[kLanes],
                      uint64_t (*u)[kLanes]);

#define QUILLET_LANES_INLINE QUILLET_LANES_FORCE inline

template <class O>
struct LanePermutation : field::lanes52::Arith<O> {
  using A = field::lanes52::Arith<O>;
  using typename A::Ctx;
  using typename A::Fe;
  using typename A::V;
  using A::add;
  using A::add_const;
  using A::clear;
  using A::join;
  using A::mac_const;
  using A::mul;
  using A::mul_const;
  using A::reduce;
  using A::split;
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

  static QUILLET_LANES_INLINE Fe load_vector(const LaneVector& c) {
    Fe r;
    for (size_t k = 0; k < kLimbs; ++k) r.l[k] = O::load(c.v[k]);
    return r;
  }


  // One full round of the one-state kernel: x^5, the constants (none where
  // add_lanes is null) and the matrix step m; element 0's row only if `row0`.
  static QUILLET_LANES_INLINE void one_round(const LaneVector* add_lanes, const uint64_t* add0, const OneStateMatrix& m,
                                             bool row0, Element0& e0, Fe& v, const Ctx& x) {
    // Element 0's S-box first: the scalar side runs it beside the lanes'.
    element0_sbox_add(e0, add0);
    v = sbox(v, x);
    if (add_lanes != nullptr) v = add(v, load_vector(*add_lanes), x);
    // Below 3p: canonical for the scalar side.
    v = sub_if_ge(sub_if_ge(v, x.p2, x), x.p, x);
    alignas(64) uint64_t buf[kLimbs][kLanes];
    A::store(buf, v);
    // Nine broadcast products per limb column, one reduction: each sum holds
    // nine products of canonical values, far below the bound.
    V t[2 * kLimbs];
    clear(t);
    for (size_t j = 0; j < kStateWidth; ++j) {
      V b[kLimbs];
      for (size_t k = 0; k < kLimbs; ++k) b[k] = O::set1(j == 0 ? e0.limbs[k] : buf[k][j - 1]);
      A::mac(t, load_vector(m.columns[j]), b);
    }
    v = reduce(t, x);
    if (row0) element0_row(e0, m.row0, buf);
  }

  // The partial rounds of one state, kLanes at a time: the lanes give element
  // 0's side the block's eight sums over elements 1 to 8 at once, element 0's
  // side runs the rounds, and the lanes add the eight rounds' contributions
  // to elements 1 to 8 at once. Sums: eight products of a value below 2p and
  // a constant below p, then one of eight canonical products plus an addend
  // below 2p (the bounds of partial_block).
  static QUILLET_LANES_INLINE void one_partial(const Constants& c, const OneStateConstants& o, Element0& e0, Fe& v,
                                               const Ctx& x) {
    alignas(64) uint64_t vb[kLimbs][kLanes];
    alignas(64) uint64_t db[kLimbs][kLanes];
    alignas(64) uint64_t ub[kLimbs][kLanes];
    for (size_t b = 0, k = 0; k < c.partial_rounds; ++b, k += kLanes) {
      const size_t n = c.partial_rounds - k < kLanes ? c.partial_rounds - k : kLanes;
      const OneStateBlock& blk = o.blocks[b];
      A::store(vb, v);
      V t[2 * kLimbs];
      clear(t);
      for (size_t i = 0; i < kLanes; ++i) {
        V bc[kLimbs];
        for (size_t l = 0; l < kLimbs; ++l) bc[l] = O::set1(vb[l][i]);
        A::mac(t, load_vector(blk.rows[i]), bc);
      }
      A::store(db, sub_if_ge(reduce(t, x), x.p, x));
      element0_partial(*o.owner, k, n, e0, db, ub);
      clear(t);
      for (size_t l = 0; l < kLimbs; ++l) t[kLimbs + l] = v.l[l];
      for (size_t j = 0; j < n; ++j) {
        V bc[kLimbs];
        for (size_t l = 0; l < kLimbs; ++l) bc[l] = O::set1(ub[l][j]);
        A::mac(t, load_vector(blk.columns[j]), bc);
      }
      v = sub_if_ge(reduce(t, x), x.p2, x);
    }
  }

  // The permutation of one state: words[e] the scalar Montgomery limbs of
  // element e, canonical. With squeeze_only, element 1 alone comes back.
  static void one_state(const Constants& c, const OneStateConstants& o, uint64_t (*words)[4], bool squeeze_only) {
    const Ctx x = context(c);
    Element0 e0;
    for (size_t i = 0; i < 4; ++i) e0.words[i] = words[0][i];
    split(e0.words, e0.limbs, 1);
    alignas(64) uint64_t buf[kLimbs][kLanes];
    for (size_t e = 1; e < kStateWidth; ++e) split(words[e], &buf[0][e - 1], kLanes);
    Fe v = mul_const(A::load(buf), c.to_lanes, x);
    const size_t h = c.half_full_rounds;
    element0_add(e0, o.start0[0]);
    v = add(v, load_vector(o.start[0]), x);
    for (size_t k = 1; k < h; ++k) one_round(&o.start[k], o.start0[k], *o.mds, true, e0, v, x);
    one_round(&o.start[h], o.start0[h], *o.transition, true, e0, v, x);
    one_partial(c, o, e0, v, x);
    for (size_t k = 0; k + 1 < h; ++k) one_round(&o.end[k], o.end0[k], *o.mds, true, e0, v, x);
    one_round(nullptr, nullptr, *o.mds_out, !squeeze_only, e0, v, x);
    A::store(buf, sub_if_ge(v, x.p, x));
    for (size_t e = 1; e < kStateWidth; ++e) join(&buf[0][e - 1], kLanes, words[e]);
    for (size_t i = 0; i < 4; ++i) words[0][i] = e0.words[i];
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

// The permutation as a lane family (crypto/field/lane_kernels.hpp).
struct Permutation {
  static constexpr bool kSecretInputs = false;
  struct Entries {
    void (*permute)(const Constants& c, Block& b, bool squeeze_only);
    void (*one_state)(const Constants& c, const OneStateConstants& o, uint64_t (*words)[4], bool squeeze_only);
  };
  template <class O>
  static constexpr Entries entries() {
    return {&LanePermutation<O>::permute, &LanePermutation<O>::one_state};
  }
};

}  // namespace quillet::poseidon::lanes52

namespace quillet::field::lanes52 {
extern template struct LaneBuilds<poseidon::lanes52::Permutation>;
}
