// The bucket method's accumulation on the eight 52-bit lanes of
// crypto/field/lanes52.hpp, one window per lane: every lane adds the same
// point (broadcast) into the bucket of its own window's digit, gathered and
// scattered by index, so no two lanes ever touch one bucket; then the running
// sums over the buckets, lane by lane in step (same bucket index in every
// lane). Variable time: points, scalars and digits are public.
//
// Buckets lie as [bucket][coordinate][limb][lane]: lane w's bucket b at
// b·kBucketWords + lane. Bucket 0 takes the zero digits and is never read
// back, so a lane whose digit is zero adds without a branch.
//
// Like lanes52.hpp this header defines only templates on the vector policy,
// compiled for AVX-512 in one file and for plain integers in another.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/field/lane_kernels.hpp"
#include "crypto/field/lanes52.hpp"
#include "crypto/jubjub/lane_points.hpp"

namespace quillet::jubjub::msm_lanes {

using field::lanes52::kLanes;
using field::lanes52::kLimbs;
using field::lanes52::Limbs;

// A bucket: X, Y, T, Z of each lane.
inline constexpr size_t kCoords = 4;
inline constexpr size_t kBucketWords = kCoords * kLimbs * kLanes;

struct Constants {
  field::lanes52::Modulus modulus;
  Limbs from_lanes;  // 2^256 mod p: 2^260 form -> 2^256 form
  Limbs one;         // 1 in the 2^260 form
};

// A point as added: y + x, y - x, 2d·x·y, affine, canonical, 2^260 form.
struct LanePoint {
  uint64_t c[3][kLimbs];
};

// A point's digits in the eight windows of a pass: each lane's bucket
// offset (b·kBucketWords + lane, b the digit's magnitude) and sign (all ones
// when negative).
struct Digits {
  uint64_t offset[kLanes];
  uint64_t negative[kLanes];
};

// One pass: eight windows' buckets filled from n points, then summed with
// their weights. `buckets` holds top + 1 buckets of scratch. Out: each
// lane's window sum, X, Y, T, Z in the 2^256 form (Fr's Montgomery limbs),
// canonical.
struct Pass {
  Limbs d2;  // the curve's 2d, 2^260 form
  size_t n = 0;
  const LanePoint* points = nullptr;
  const Digits* digits = nullptr;
  size_t top = 0;
  uint64_t* buckets = nullptr;
  uint64_t out[kCoords][kLimbs][kLanes];
};

#define QUILLET_LANES_INLINE QUILLET_LANES_FORCE inline

template <class O>
struct LaneBuckets : lane_points::LanePoints<O> {
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

  // p ± q for an affine q: a negative lane swaps y + x with y - x and
  // negates 2dxy, which swaps F with G.
  static QUILLET_LANES_INLINE Point add_affine(const Point& p, const LanePoint& q, V neg, const Ctx& x) {
    const Fe yp = broadcast(q.c[0]);
    const Fe ym = broadcast(q.c[1]);
    const Fe a = mul(sub(p.y, p.x, x), select(neg, yp, ym), x);
    const Fe b = mul(A::add(p.y, p.x, x), select(neg, ym, yp), x);
    const Fe c = mul(p.t, broadcast(q.c[2]), x);
    const Fe d = A::add(p.z, p.z, x);
    const Fe d_minus_c = sub(d, c, x);
    const Fe d_plus_c = A::add(d, c, x);
    return finish(a, b, select(neg, d_plus_c, d_minus_c), select(neg, d_minus_c, d_plus_c), x);
  }

  static QUILLET_LANES_INLINE Point gather(const uint64_t* base, V index) {
    Point r;
    Fe* coords[kCoords] = {&r.x, &r.y, &r.t, &r.z};
    for (size_t c = 0; c < kCoords; ++c) {
      for (size_t k = 0; k < kLimbs; ++k) coords[c]->l[k] = O::gather(base + (c * kLimbs + k) * kLanes, index);
    }
    return r;
  }

  static QUILLET_LANES_INLINE void scatter(uint64_t* base, V index, const Point& p) {
    const Fe* coords[kCoords] = {&p.x, &p.y, &p.t, &p.z};
    for (size_t c = 0; c < kCoords; ++c) {
      for (size_t k = 0; k < kLimbs; ++k) O::scatter(base + (c * kLimbs + k) * kLanes, index, coords[c]->l[k]);
    }
  }

  static QUILLET_LANES_INLINE Point load(const uint64_t* bucket) {
    Point r;
    Fe* coords[kCoords] = {&r.x, &r.y, &r.t, &r.z};
    for (size_t c = 0; c < kCoords; ++c) {
      for (size_t k = 0; k < kLimbs; ++k) coords[c]->l[k] = O::load(bucket + (c * kLimbs + k) * kLanes);
    }
    return r;
  }

  static QUILLET_LANES_INLINE void store(uint64_t* bucket, const Point& p) {
    const Fe* coords[kCoords] = {&p.x, &p.y, &p.t, &p.z};
    for (size_t c = 0; c < kCoords; ++c) {
      for (size_t k = 0; k < kLimbs; ++k) O::store(bucket + (c * kLimbs + k) * kLanes, coords[c]->l[k]);
    }
  }

  static void run(const Constants& k, Pass& pass) {
    const Ctx x = A::context(k.modulus);
    const Fe zero{};
    const Point identity{zero, broadcast(k.one.v), zero, broadcast(k.one.v)};
    for (size_t b = 0; b <= pass.top; ++b) store(pass.buckets + b * kBucketWords, identity);
    for (size_t i = 0; i < pass.n; ++i) {
      const V index = O::load(pass.digits[i].offset);
      const Point sum = add_affine(gather(pass.buckets, index), pass.points[i], O::load(pass.digits[i].negative), x);
      scatter(pass.buckets, index, sum);
    }
    // Top bucket first: `running` is the sum of buckets b and up, and `sum`
    // gathers it once per bucket, so bucket b counts b times.
    const Fe d2 = broadcast(pass.d2.v);
    Point running = identity, sum = identity;
    for (size_t b = pass.top; b > 0; --b) {
      running = add(running, load(pass.buckets + b * kBucketWords), d2, x);
      sum = add(sum, running, d2, x);
    }
    const Fe* coords[kCoords] = {&sum.x, &sum.y, &sum.t, &sum.z};
    for (size_t c = 0; c < kCoords; ++c) {
      A::store(pass.out[c], A::sub_if_ge(A::mul_const(*coords[c], k.from_lanes, x), x.p, x));
    }
  }
};

#undef QUILLET_LANES_INLINE

// The buckets as a lane family (crypto/field/lane_kernels.hpp).
struct Buckets {
  static constexpr bool kSecretInputs = false;
  struct Entries {
    void (*run)(const Constants& k, Pass& p);
  };
  template <class O>
  static constexpr Entries entries() {
    return {&LaneBuckets<O>::run};
  }
};

}  // namespace quillet::jubjub::msm_lanes

namespace quillet::field::lanes52 {
extern template struct LaneBuilds<jubjub::msm_lanes::Buckets>;
}
