// Eight multiplications k·B of the fixed base at once, one per 64-bit lane,
// on the 52-bit limbs of crypto/field/lanes52.hpp: the algorithm of
// FixedBaseTable::mul (42 signed radix-64 digits, one tabulated affine
// multiple per digit, no doublings), with the entry of each lane chosen by a
// masked scan of the whole row. For secret scalars: every lane reads every
// entry of every row, and nothing branches or indexes on a digit.
//
// Per block of eight: 42 rows of 32·15 masked broadcasts and one mixed
// addition (7 lane multiplications, 25 limb products and a reduction each),
// then 4 multiplications out of the lane form.
//
// One scalar (or two) spread over the lanes by rows instead: lane l adds the
// entries of rows l, l + 8, ... (l, l + 4, ... for two scalars, lanes 0-3 the
// first, 4-7 the second), 6 (11) steps of one mixed addition, then the lanes'
// sums are added by a tree of full additions (9 multiplications each) over
// lanes exchanged in registers, 3 (2) levels; no conversion out of the lane
// form. Again every lane reads every entry of its rows and selects by mask;
// the tree is straight-line.
//
// Like lanes52.hpp this header defines only templates on the vector policy,
// over fixed-width integers: it is compiled for AVX-512 in one file and for
// plain integers in another. The policy adds to lanes52's: xor_lanes<M>(v),
// lane i taking v's lane i ^ M; load_halves(p), p[0..3] in both halves; and
// a lane mask (eq_mask(a, b) where a equals b; take(m, v, old), v where m is
// set, else old), a mask register on AVX-512.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/field/lane_kernels.hpp"
#include "crypto/field/lanes52.hpp"
#include "crypto/jubjub/lane_points.hpp"
#include "crypto/jubjub/scalar_recoding.hpp"

namespace quillet::jubjub::fixed_base_lanes {

using field::lanes52::kLanes;
using field::lanes52::kLimbs;
using field::lanes52::Limbs;

inline constexpr size_t kRows = kRadix64Digits;
inline constexpr size_t kColumns = 32;
// An affine entry: y + x, y - x, 2d·x·y.
inline constexpr size_t kCoords = 3;
// The result: X, Y, T, Z.
inline constexpr size_t kOutputs = 4;

// The rows padded to a whole number of eight-lane steps; the padding holds
// the neutral entry and is read only under digit 0.
inline constexpr size_t kPaddedRows = 48;
// Steps of the row-parallel forms: one scalar over eight lanes, two over four.
inline constexpr size_t kOneSteps = (kRows + kLanes - 1) / kLanes;
inline constexpr size_t kPairSteps = (kRows + kLanes / 2 - 1) / (kLanes / 2);
static_assert(kOneSteps * kLanes <= kPaddedRows && kPairSteps * kLanes / 2 <= kPaddedRows);

// The table of FixedBaseTable in the 2^260 form, canonical, in blocks of
// eight rows with the row last: entry j + 1 of row i, coordinate c, limb l at
// entries[i / 8][j][c][l][i % 8]. One 64-byte load gives eight rows' same
// entry (the row-parallel forms), a broadcast one row's (mul_many), and a
// step of the row-parallel forms reads 30 KB in order (with the rows last
// across the whole table, a step's 480 lines lay 384 bytes apart, on half of
// the L1 cache's sets, and one multiplication took 28% longer). Public.
struct Table {
  field::lanes52::Modulus modulus;
  Limbs from_lanes;  // 2^256 mod p: 2^260 form -> 2^256 form
  Limbs one;         // 1 in the 2^260 form
  Limbs d2;          // 2d in the 2^260 form
  alignas(64) uint64_t entries[kPaddedRows / kLanes][kColumns][kCoords][kLimbs][kLanes];
};

// In: each lane's digits as magnitude (0 to 32) and sign (all ones when
// negative, else zero), secret. Out: X, Y, T, Z of each lane's k·B in the
// 2^256 form (Fr's Montgomery limbs), canonical, as [coordinate][limb][lane].
struct Block {
  uint64_t magnitude[kRows][kLanes];
  uint64_t negative[kRows][kLanes];
  uint64_t out[kOutputs][kLimbs][kLanes];
};

// In: the digits of one scalar (`scalars` 1: lane l of step s holds row
// 8s + l) or two (2: lane l of step s holds row 4s + l % 4 of scalar l / 4),
// as Block's, rows past 41 zero; secret. Out: X, Y, T, Z of the scalar's
// multiple in lane 0 (and of the second's in lane 4), as Block's but each
// coordinate 16 times as large (the same point).
struct RowBlock {
  uint64_t magnitude[kPairSteps][kLanes];
  uint64_t negative[kPairSteps][kLanes];
  uint64_t out[kOutputs][kLimbs][kLanes];
};

// The policy's additions (above) to a policy of lanes52_ops.hpp: lane by
// lane in fixed_base_lanes_emulated.cpp, in registers for IFMA in
// fixed_base_lanes_ifma.cpp.
template <class Base>
struct LaneMoves;

#define QUILLET_LANES_INLINE QUILLET_LANES_FORCE inline

template <class O>
struct LaneFixedBase : lane_points::LanePoints<O> {
  using A = field::lanes52::Arith<O>;
  using P = lane_points::LanePoints<O>;
  using typename A::Ctx;
  using typename A::Fe;
  using typename A::V;
  using typename P::Point;
  using P::add;
  using P::broadcast;
  using P::finish;
  using P::mul;
  using P::select;
  using P::sub;

  // How an entry is read: one row's for every lane (at = the row), eight
  // rows' (at = the first), or four rows' in both halves (at = the first).
  enum class Read { one_row, eight_rows, four_rows };

  // acc's lanes where `take` is set replaced by the entry j + 1's coordinate c.
  template <Read R>
  static QUILLET_LANES_INLINE void take_entry(typename O::Mask take, const Table& t, size_t j, size_t c, size_t at,
                                              Fe& acc) {
    for (size_t k = 0; k < kLimbs; ++k) {
      const uint64_t* p = &t.entries[at / kLanes][j][c][k][at % kLanes];
      V v;
      if constexpr (R == Read::one_row) {
        v = O::set1(*p);
      } else if constexpr (R == Read::eight_rows) {
        v = O::load(p);
      } else {
        v = O::load_halves(p);
      }
      acc.l[k] = O::take(take, v, acc.l[k]);
    }
  }

  // p + (±entry) with E = b - a, F = d - c, G = d + c, H = b + a of
  // a = (Y - X)(y - x), b = (Y + X)(y + x), c = T·2dxy, d = 2Z; a negative
  // digit swaps y + x with y - x and negates c, which swaps F with G.
  // Operands of the products stay below 6p.
  template <Read R>
  static QUILLET_LANES_INLINE Point add_row(const Point& p, const Table& t, size_t at, const uint64_t* magnitude,
                                            const uint64_t* negative, const Ctx& x) {
    const V mag = O::load(magnitude);
    const V neg = O::load(negative);
    const Fe zero{};
    Fe yp = broadcast(t.one.v);
    Fe ym = yp;
    Fe xy = zero;
    for (size_t j = 0; j < kColumns; ++j) {
      const auto take = O::eq_mask(mag, O::set1(j + 1));
      take_entry<R>(take, t, j, 0, at, yp);
      take_entry<R>(take, t, j, 1, at, ym);
      take_entry<R>(take, t, j, 2, at, xy);
    }
    const Fe qp = select(neg, ym, yp);
    const Fe qm = select(neg, yp, ym);
    const Fe a = mul(sub(p.y, p.x, x), qm, x);
    const Fe b = mul(A::add(p.y, p.x, x), qp, x);
    const Fe c = mul(p.t, xy, x);
    const Fe d = A::add(p.z, p.z, x);
    const Fe d_minus_c = sub(d, c, x);
    const Fe d_plus_c = A::add(d, c, x);
    return finish(a, b, select(neg, d_plus_c, d_minus_c), select(neg, d_minus_c, d_plus_c), x);
  }

  // p with lane i holding lane i ^ M's point.
  template <unsigned M>
  static QUILLET_LANES_INLINE Point exchanged(const Point& p) {
    Point r;
    const Fe* from[kOutputs] = {&p.x, &p.y, &p.t, &p.z};
    Fe* to[kOutputs] = {&r.x, &r.y, &r.t, &r.z};
    for (size_t c = 0; c < kOutputs; ++c) {
      for (size_t k = 0; k < kLimbs; ++k) to[c]->l[k] = O::template xor_lanes<M>(from[c]->l[k]);
    }
    return r;
  }

  // Every lane i ends with the sum of the lanes i ^ m for m below 2M.
  template <unsigned M>
  static QUILLET_LANES_INLINE Point add_lanes(const Point& p, const Fe& d2, const Ctx& x) {
    const Point sum = add(p, exchanged<M>(p), d2, x);
    if constexpr (M == 1) {
      return sum;
    } else {
      return add_lanes<M / 2>(sum, d2, x);
    }
  }

  static QUILLET_LANES_INLINE void store_out(const Point& p, const Table& t, uint64_t (*out)[kLimbs][kLanes],
                                             const Ctx& x) {
    const Fe* coords[kOutputs] = {&p.x, &p.y, &p.t, &p.z};
    for (size_t c = 0; c < kOutputs; ++c) {
      A::store(out[c], A::sub_if_ge(A::mul_const(*coords[c], t.from_lanes, x), x.p, x));
    }
  }

  // One scalar over Group = 8 lanes or two over Group = 4 each.
  template <size_t Group>
  static void run_rows(const Table& t, RowBlock& b) {
    static_assert(Group == kLanes || Group == kLanes / 2);
    constexpr size_t kSteps = (kRows + Group - 1) / Group;
    constexpr Read kRead = Group == kLanes ? Read::eight_rows : Read::four_rows;
    const Ctx x = A::context(t.modulus);
    const Fe zero{};
    Point p{zero, broadcast(t.one.v), zero, broadcast(t.one.v)};
    for (size_t s = 0; s < kSteps; ++s) p = add_row<kRead>(p, t, s * Group, b.magnitude[s], b.negative[s], x);
    p = add_lanes<Group / 2>(p, broadcast(t.d2.v), x);
    // Left in the 2^260 form: read as the 2^256 form, every coordinate is
    // 16 times its value, the same projective point (T = XY/Z scales alike).
    const Fe* coords[kOutputs] = {&p.x, &p.y, &p.t, &p.z};
    for (size_t c = 0; c < kOutputs; ++c) A::store(b.out[c], A::sub_if_ge(*coords[c], x.p, x));
  }

  static void run_rows(const Table& t, RowBlock& b, size_t scalars) {
    if (scalars == 1) {
      run_rows<kLanes>(t, b);
    } else {
      run_rows<kLanes / 2>(t, b);
    }
  }

  static void run(const Table& t, Block& b) {
    const Ctx x = A::context(t.modulus);
    const Fe zero{};
    Point p{zero, broadcast(t.one.v), zero, broadcast(t.one.v)};
    for (size_t row = 0; row < kRows; ++row) {
      p = add_row<Read::one_row>(p, t, row, b.magnitude[row], b.negative[row], x);
    }
    store_out(p, t, b.out, x);
  }
};

#undef QUILLET_LANES_INLINE

// The table's multiples as a lane family (crypto/field/lane_kernels.hpp);
// the scalars are secret.
struct FixedBase {
  static constexpr bool kSecretInputs = true;
  struct Entries {
    void (*run)(const Table& t, Block& b);
    // The row-parallel forms; `scalars` (1 or 2, public) picks the split.
    void (*run_rows)(const Table& t, RowBlock& b, size_t scalars);
  };
  template <class O>
  static constexpr Entries entries() {
    return {&LaneFixedBase<LaneMoves<O>>::run, &LaneFixedBase<LaneMoves<O>>::run_rows};
  }
};

}  // namespace quillet::jubjub::fixed_base_lanes

namespace quillet::field::lanes52 {
extern template struct LaneBuilds<jubjub::fixed_base_lanes::FixedBase>;
}
