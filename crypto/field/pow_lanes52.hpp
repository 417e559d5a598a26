// Sixteen exponentiations to one public exponent at once (two vectors of
// eight lanes, interleaved so that one hides the other's latency), or eight
// (one vector, for a tail of at most eight, at a little over half the
// cost). For a
// square root: rho^((t-1)/2) and the powers the 2-adic finish needs; the
// finish itself (table lookups) stays per element: crypto/field/pow_many.cpp.
//
// Like lanes52.hpp this header defines only templates on the vector policy,
// over fixed-width integers: it is compiled for AVX-512 in one file and for
// plain integers in another (the family Powers, below).
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/field/lane_kernels.hpp"
#include "crypto/field/lanes52.hpp"

namespace quillet::field::pow_lanes52 {

using lanes52::kLanes;
using lanes52::kLimbs;
using lanes52::Limbs;

inline constexpr size_t kVectors = 2;
inline constexpr size_t kBlock = kVectors * kLanes;
// Outputs per element of a square root: r = rho^((t+1)/2), then b = rho^t
// and b^(2^7), b^(2^14), b^(2^21). A plain power has one, x^e.
inline constexpr size_t kOutputs = 5;
inline constexpr unsigned kWindowBits = 7;
// Odd powers rho, rho^3, ..., rho^31 of the window scan.
inline constexpr size_t kOddPowers = 16;

// One window of the exponent: square `squarings` times, then multiply by
// rho^(2·odd + 1) unless odd is kNoMultiply.
struct Step {
  uint16_t squarings;
  uint8_t odd;
};
inline constexpr uint8_t kNoMultiply = 0xff;

// The exponent e as steps: (t-1)/2 for a square root. At least one step.
struct Constants {
  lanes52::Modulus modulus;
  Limbs from_lanes;  // 2^256 mod p: 2^260 form -> 2^256 form
  const Step* steps = nullptr;  // the first one starts from rho^(2·odd + 1)
  size_t step_count = 0;
};

// Elements as [vector][limb][lane]. In: rho in the 2^260 form, below 2p.
// Out: the powers in the 2^256 form, canonical.
struct Block {
  uint64_t rho[kVectors][kLimbs][kLanes];
  uint64_t out[kOutputs][kVectors][kLimbs][kLanes];
};

// What a kernel call computes: the kOutputs powers of a square root, or
// rho^e alone (in out[0]).
enum class Job { sqrt, power };

#define QUILLET_LANES_INLINE QUILLET_LANES_FORCE inline

template <class O>
struct LanePow : lanes52::Arith<O> {
  using A = lanes52::Arith<O>;
  using typename A::Ctx;
  using typename A::Fe;
  using typename A::V;

  // a^2 with each cross product formed once and the columns doubled: 15
  // limb products where mul takes 25. Column sums stay far below 2^64.
  static QUILLET_LANES_INLINE Fe sqr(const Fe& a, const Ctx& x) {
    V t[2 * kLimbs];
    A::clear(t);
#pragma GCC unroll 5
    for (size_t i = 0; i < kLimbs; ++i) {
#pragma GCC unroll 5
      for (size_t j = i + 1; j < kLimbs; ++j) {
        t[i + j] = O::madd_lo(t[i + j], a.l[i], a.l[j]);
        t[i + j + 1] = O::madd_hi(t[i + j + 1], a.l[i], a.l[j]);
      }
    }
    for (size_t k = 0; k < 2 * kLimbs; ++k) t[k] = O::add(t[k], t[k]);
#pragma GCC unroll 5
    for (size_t i = 0; i < kLimbs; ++i) {
      t[2 * i] = O::madd_lo(t[2 * i], a.l[i], a.l[i]);
      t[2 * i + 1] = O::madd_hi(t[2 * i + 1], a.l[i], a.l[i]);
    }
    return A::reduce(t, x);
  }

  template <size_t N>
  static QUILLET_LANES_INLINE void sqr_n(Fe* a, unsigned n, const Ctx& x) {
    for (unsigned k = 0; k < n; ++k) {
      for (size_t v = 0; v < N; ++v) a[v] = sqr(a[v], x);
    }
  }

  template <size_t N>
  static QUILLET_LANES_INLINE void mul_each(Fe* a, const Fe* b, const Ctx& x) {
    for (size_t v = 0; v < N; ++v) a[v] = A::mul(a[v], b[v], x);
  }

  // Into the 2^256 form, canonical. Every product here is below 2p.
  template <size_t N>
  static QUILLET_LANES_INLINE void emit(const Constants& c, const Fe* a, uint64_t (*out)[kLimbs][kLanes],
                                        const Ctx& x) {
    for (size_t v = 0; v < N; ++v) A::store(out[v], A::sub_if_ge(A::mul_const(a[v], c.from_lanes, x), x.p, x));
  }

  // On the first N vectors.
  template <size_t N>
  static void run_vectors(const Constants& c, Block& b, Job job) {
    const Ctx x = A::context(c.modulus);
    Fe rho[N];
    for (size_t v = 0; v < N; ++v) rho[v] = A::load(b.rho[v]);
    // odd[k][v] = rho^(2k + 1).
    Fe odd[kOddPowers][N];
    Fe rho2[N];
    for (size_t v = 0; v < N; ++v) {
      odd[0][v] = rho[v];
      rho2[v] = sqr(rho[v], x);
    }
    for (size_t k = 1; k < kOddPowers; ++k) {
      for (size_t v = 0; v < N; ++v) odd[k][v] = A::mul(odd[k - 1][v], rho2[v], x);
    }
    Fe w[N];
    for (size_t v = 0; v < N; ++v) w[v] = odd[c.steps[0].odd][v];
    for (size_t s = 1; s < c.step_count; ++s) {
      sqr_n<N>(w, c.steps[s].squarings, x);
      if (c.steps[s].odd != kNoMultiply) mul_each<N>(w, odd[c.steps[s].odd], x);
    }
    if (job == Job::power) {
      emit<N>(c, w, b.out[0], x);
      return;
    }
    // w = rho^((t-1)/2): r = w·rho, b = r·w.
    Fe r[N];
    for (size_t v = 0; v < N; ++v) r[v] = A::mul(w[v], rho[v], x);
    emit<N>(c, r, b.out[0], x);
    mul_each<N>(w, r, x);
    emit<N>(c, w, b.out[1], x);
    for (size_t k = 2; k < kOutputs; ++k) {
      sqr_n<N>(w, kWindowBits, x);
      emit<N>(c, w, b.out[k], x);
    }
  }

  static void run(const Constants& c, Block& b, Job job, size_t vectors) {
    if (vectors == 1) {
      run_vectors<1>(c, b, job);
    } else {
      run_vectors<kVectors>(c, b, job);
    }
  }
};

#undef QUILLET_LANES_INLINE

// The exponentiation lanes as a lane family (lane_kernels.hpp): run works on
// the first `vectors` (1 or kVectors) vectors of b alone.
struct Powers {
  static constexpr bool kSecretInputs = false;
  struct Entries {
    void (*run)(const Constants& c, Block& b, Job job, size_t vectors);
  };
  template <class O>
  static constexpr Entries entries() {
    return {&LanePow<O>::run};
  }
};

}  // namespace quillet::field::pow_lanes52

namespace quillet::field::lanes52 {
extern template struct LaneBuilds<pow_lanes52::Powers>;
}
