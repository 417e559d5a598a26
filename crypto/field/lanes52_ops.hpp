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
  static V madd_lo(V acc, V a, V b) { return _mm512_madd52lo_epu64(acc, a, b); }
  static V madd_hi(V acc, V a, V b) { return _mm512_madd52hi_epu64(acc, a, b); }
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
};

}  // namespace
}  // namespace quillet::field::lanes52
