// The vector policies of lanes52.hpp's templates: AVX-512 IFMA intrinsics
// (only where the including file is compiled for them, see
// quillet_ifma_sources in cmake/layer.cmake) and the same operations in plain
// integers.
//
// Both live in an unnamed namespace: every file that includes this header
// gets its own copies, so a member built for AVX-512 can never be chosen by
// the linker for a file built without it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/failure.hpp"
#include "crypto/field/lanes52.hpp"

#if defined(QUILLET_LANES_IFMA)
#include <immintrin.h>
// GCC 12 reports the placeholder operand inside its own shift intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif

namespace quillet::field::lanes52 {
namespace {

#if defined(QUILLET_LANES_IFMA)
struct Ifma {
  using V = __m512i;
  static V zero() { return _mm512_setzero_si512(); }
  static V set1(uint64_t v) { return _mm512_set1_epi64(static_cast<long long>(v)); }
  static V load(const uint64_t* p) { return _mm512_loadu_si512(p); }
  static void store(uint64_t* p, V v) { _mm512_storeu_si512(p, v); }
  static V add(V a, V b) { return _mm512_add_epi64(a, b); }
  static V sub(V a, V b) { return _mm512_sub_epi64(a, b); }
  static V and_(V a, V b) { return _mm512_and_si512(a, b); }
  template <unsigned N>
  static V srli(V a) {
    return _mm512_srli_epi64(a, N);
  }
  template <unsigned N>
  static V srai(V a) {
    return _mm512_srai_epi64(a, N);
  }
  // Lanes of `mask` all ones take a, the others b.
  static V select(V mask, V a, V b) { return _mm512_or_si512(_mm512_and_si512(mask, a), _mm512_andnot_si512(mask, b)); }
  // All ones in the lanes where a equals b, else zero.
  static V eq(V a, V b) { return _mm512_maskz_set1_epi64(_mm512_cmpeq_epi64_mask(a, b), -1); }
  static V madd_lo(V acc, V a, V b) { return _mm512_madd52lo_epu64(acc, a, b); }
  static V madd_hi(V acc, V a, V b) { return _mm512_madd52hi_epu64(acc, a, b); }
  // madd_lo of a's low 52 bits, where reading only those is the intent.
  static V madd_lo_low52(V acc, V a, V b) { return madd_lo(acc, a, b); }
  static void check_below(const V* /*v*/, const V* /*bound*/, uint64_t /*times*/) {}
  // Word index[i] of base into lane i, and back; lanes must not share a word
  // when scattering.
  static V gather(const uint64_t* base, V index) { return _mm512_i64gather_epi64(index, base, 8); }
  static void scatter(uint64_t* base, V index, V v) { _mm512_i64scatter_epi64(base, index, v, 8); }
};
#endif

// The IFMA operations instruction by instruction, on any processor. Slow; it
// exists so that the algorithms are tested where the instructions are
// missing, and can be forced.
struct Emulated {
  __extension__ typedef unsigned __int128 u128;
  struct V {
    uint64_t x[kLanes];
  };
  static constexpr uint64_t kMask52 = (uint64_t{1} << 52) - 1;

  template <class F>
  static V map(F f) {
    V r;
    for (size_t i = 0; i < kLanes; ++i) r.x[i] = f(i);
    return r;
  }
  static V zero() { return V{}; }
  static V set1(uint64_t v) {
    return map([&](size_t) { return v; });
  }
  static V load(const uint64_t* p) {
    return map([&](size_t i) { return p[i]; });
  }
  static void store(uint64_t* p, V v) {
    for (size_t i = 0; i < kLanes; ++i) p[i] = v.x[i];
  }
  static V add(V a, V b) {
    return map([&](size_t i) { return a.x[i] + b.x[i]; });
  }
  static V sub(V a, V b) {
    return map([&](size_t i) { return a.x[i] - b.x[i]; });
  }
  static V and_(V a, V b) {
    return map([&](size_t i) { return a.x[i] & b.x[i]; });
  }
  template <unsigned N>
  static V srli(V a) {
    return map([&](size_t i) { return a.x[i] >> N; });
  }
  template <unsigned N>
  static V srai(V a) {
    // Arithmetic shift without relying on implementation-defined behaviour.
    return map([&](size_t i) {
      const uint64_t sign = 0 - (a.x[i] >> 63);
      return (a.x[i] >> N) | (sign << (63 - N) << 1);
    });
  }
  static V select(V mask, V a, V b) {
    return map([&](size_t i) { return (mask.x[i] & a.x[i]) | (~mask.x[i] & b.x[i]); });
  }
  static V eq(V a, V b) {
    return map([&](size_t i) {
      const uint64_t d = a.x[i] ^ b.x[i];
      return ((d | (0 - d)) >> 63) - 1;
    });
  }
  static V madd_lo(V acc, V a, V b) {
    return map([&](size_t i) {
      const u128 p = static_cast<u128>(a.x[i] & kMask52) * (b.x[i] & kMask52);
      return acc.x[i] + (static_cast<uint64_t>(p) & kMask52);
    });
  }
  static V madd_hi(V acc, V a, V b) {
    return map([&](size_t i) {
      const u128 p = static_cast<u128>(a.x[i] & kMask52) * (b.x[i] & kMask52);
      return acc.x[i] + static_cast<uint64_t>(p >> 52);
    });
  }
  static V madd_lo_low52(V acc, V a, V b) { return madd_lo(acc, a, b); }
  static void check_below(const V* /*v*/, const V* /*bound*/, uint64_t /*times*/) {}
  static V gather(const uint64_t* base, V index) {
    return map([&](size_t i) { return base[index.x[i]]; });
  }
  static void scatter(uint64_t* base, V index, V v) {
    for (size_t i = 0; i < kLanes; ++i) base[index.x[i]] = v.x[i];
  }
};

// Emulated, asserting the contracts the instructions take on trust, as a
// checked build would: every product's operands below 2^52 (the hardware
// reads 52 bits and drops the rest unseen), and every value that the
// arithmetic needs bounded below its bound (products' operands below 2p,
// sub_if_ge's input below 2q). A breach fails hard. The emulated kernels
// use it in builds with tests (QUILLET_LANES_CHECKED), never in the wheel.
struct Checked : Emulated {
  static void check_operand(V a) {
    for (size_t i = 0; i < kLanes; ++i) {
      if (a.x[i] > kMask52) fail_hard("lane contract: a product's operand is not below 2^52");
    }
  }
  static V madd_lo(V acc, V a, V b) {
    check_operand(a);
    check_operand(b);
    return Emulated::madd_lo(acc, a, b);
  }
  static V madd_hi(V acc, V a, V b) {
    check_operand(a);
    check_operand(b);
    return Emulated::madd_hi(acc, a, b);
  }
  static V madd_lo_low52(V acc, V a, V b) {
    check_operand(b);
    return Emulated::madd_lo(acc, a, b);
  }
  // Whether the five normalised limbs v lie below times * bound, lane by lane.
  static void check_below(const V* v, const V* bound, uint64_t times) {
    for (size_t i = 0; i < kLanes; ++i) {
      uint64_t b[kLimbs];
      uint64_t carry = 0;
      for (size_t k = 0; k < kLimbs; ++k) {
        const uint64_t u = bound[k].x[i] * times + carry;
        b[k] = k + 1 < kLimbs ? u & kMask52 : u;
        carry = u >> 52;
      }
      int order = 0;  // v against b, from the top limb down
      for (size_t k = kLimbs; k-- > 0 && order == 0;) {
        if (k + 1 < kLimbs && v[k].x[i] > kMask52) fail_hard("lane contract: a limb is not normalised");
        order = v[k].x[i] < b[k] ? -1 : (v[k].x[i] > b[k] ? 1 : 0);
      }
      if (order >= 0) fail_hard("lane contract: a value is not below its bound");
    }
  }
};

}  // namespace
}  // namespace quillet::field::lanes52
