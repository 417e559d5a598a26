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
// Like lanes52.hpp this header defines only templates on the vector policy,
// over fixed-width integers: it is compiled for AVX-512 in one file and for
// plain integers in another.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/field/lanes52.hpp"
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

// The table of FixedBaseTable in the 2^260 form, canonical: entry j + 1 of
// row i, coordinate c, limb l at entries[i][j][c][l]. Public.
struct Table {
  field::lanes52::Modulus modulus;
  Limbs from_lanes;  // 2^256 mod p: 2^260 form -> 2^256 form
  Limbs one;         // 1 in the 2^260 form
  uint64_t entries[kRows][kColumns][kCoords][kLimbs];
};

// In: each lane's digits as magnitude (0 to 32) and sign (all ones when
// negative, else zero), secret. Out: X, Y, T, Z of each lane's k·B in the
// 2^256 form (Fr's Montgomery limbs), canonical, as [coordinate][limb][lane].
struct Block {
  uint64_t magnitude[kRows][kLanes];
  uint64_t negative[kRows][kLanes];
  uint64_t out[kOutputs][kLimbs][kLanes];
};

void run_ifma(const Table& t, Block& b);
void run_emulated(const Table& t, Block& b);
// The emulated kernel under the checked policy (lanes52_ops.hpp) in builds
// with tests, for the tests only: its contract checks branch on the values,
// so the constant-time check runs run_emulated. Elsewhere run_emulated.
void run_checked(const Table& t, Block& b);
bool ifma_compiled();

#define QUILLET_LANES_INLINE QUILLET_LANES_FORCE inline

template <class O>
struct LaneFixedBase : field::lanes52::Arith<O> {
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

  // p + (±entry) with E = b - a, F = d - c, G = d + c, H = b + a of
  // a = (Y - X)(y - x), b = (Y + X)(y + x), c = T·2dxy, d = 2Z; a negative
  // digit swaps y + x with y - x and negates c, which swaps F with G.
  // Operands of the products stay below 6p.
  static QUILLET_LANES_INLINE Point add_row(const Point& p, const Table& t, size_t row, const uint64_t* magnitude,
                                            const uint64_t* negative, const Ctx& x) {
    const V mag = O::load(magnitude);
    const V neg = O::load(negative);
    const Fe zero{};
    Fe yp = broadcast(t.one.v);
    Fe ym = yp;
    Fe xy = zero;
    for (size_t j = 0; j < kColumns; ++j) {
      const V take = O::eq(mag, O::set1(j + 1));
      yp = select(take, broadcast(t.entries[row][j][0]), yp);
      ym = select(take, broadcast(t.entries[row][j][1]), ym);
      xy = select(take, broadcast(t.entries[row][j][2]), xy);
    }
    const Fe qp = select(neg, ym, yp);
    const Fe qm = select(neg, yp, ym);
    const Fe a = mul(sub(p.y, p.x, x), qm, x);
    const Fe b = mul(A::add(p.y, p.x, x), qp, x);
    const Fe c = mul(p.t, xy, x);
    const Fe d = A::add(p.z, p.z, x);
    const Fe e = sub(b, a, x);
    const Fe h = A::add(b, a, x);
    const Fe d_minus_c = sub(d, c, x);
    const Fe d_plus_c = A::add(d, c, x);
    const Fe f = select(neg, d_plus_c, d_minus_c);
    const Fe g = select(neg, d_minus_c, d_plus_c);
    return Point{mul(e, f, x), mul(g, h, x), mul(e, h, x), mul(f, g, x)};
  }

  static void run(const Table& t, Block& b) {
    const Ctx x = A::context(t.modulus);
    const Fe zero{};
    Point p{zero, broadcast(t.one.v), zero, broadcast(t.one.v)};
    for (size_t row = 0; row < kRows; ++row) p = add_row(p, t, row, b.magnitude[row], b.negative[row], x);
    const Fe* coords[kOutputs] = {&p.x, &p.y, &p.t, &p.z};
    for (size_t c = 0; c < kOutputs; ++c) {
      A::store(b.out[c], A::sub_if_ge(A::mul_const(*coords[c], t.from_lanes, x), x.p, x));
    }
  }
};

#undef QUILLET_LANES_INLINE

}  // namespace quillet::jubjub::fixed_base_lanes
