// Salsa20/8 on four 128-bit vectors, for the SSE2 and AVX-512 kernels (their
// files alone: see romix.hpp). Vector a holds the diagonal (x0, x5, x10,
// x15), b (x4, x9, x14, x3), c (x8, x13, x2, x7), d (x12, x1, x6, x11): lane
// i of a, b, c, d is the i-th column's quarter round, so a column round is
// four vector steps. Rotating b, c and d by one, two and three lanes lines
// the rows up the same way. The kernels differ only in the rotation.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>

#include "crypto/scrypt/romix.hpp"

namespace quillet::scrypt::detail {
namespace {

// K supplies `template <int k> static __m128i rotl(__m128i)`.
template <class K>
struct Diagonals {
  static constexpr uint8_t kOrder[kWords] = {0, 5, 10, 15, 4, 9, 14, 3, 8, 13, 2, 7, 12, 1, 6, 11};

  struct State {
    __m128i a, b, c, d;
  };

  static __m128i at(const uint32_t* block, int i) { return _mm_load_si128(reinterpret_cast<const __m128i*>(block) + i); }

  static State load(const uint32_t* block) { return {at(block, 0), at(block, 1), at(block, 2), at(block, 3)}; }
  static State load_xor(const uint32_t* x, const uint32_t* y) {
    return {_mm_xor_si128(at(x, 0), at(y, 0)), _mm_xor_si128(at(x, 1), at(y, 1)), _mm_xor_si128(at(x, 2), at(y, 2)),
            _mm_xor_si128(at(x, 3), at(y, 3))};
  }
  static void store(const State& s, uint32_t* block) {
    __m128i* out = reinterpret_cast<__m128i*>(block);
    _mm_store_si128(out, s.a);
    _mm_store_si128(out + 1, s.b);
    _mm_store_si128(out + 2, s.c);
    _mm_store_si128(out + 3, s.d);
  }
  static uint32_t first_word(const State& s) { return static_cast<uint32_t>(_mm_cvtsi128_si32(s.a)); }

  // target ^= rotl(p + q, k): one step of the four quarter rounds.
  template <int k>
  static void step(__m128i& target, __m128i p, __m128i q) {
    target = _mm_xor_si128(target, K::template rotl<k>(_mm_add_epi32(p, q)));
  }

  // Salsa20/8's core: eight rounds on a copy, added to it.
  static State core(const State& in) {
    __m128i a = in.a, b = in.b, c = in.c, d = in.d;
    for (int round = 0; round < 8; round += 2) {
      step<7>(b, a, d);
      step<9>(c, b, a);
      step<13>(d, c, b);
      step<18>(a, d, c);
      // Rows: b becomes (x3, x4, x9, x14), c (x2, x7, x8, x13), d (x1, x6, x11, x12).
      b = _mm_shuffle_epi32(b, 0x93);
      c = _mm_shuffle_epi32(c, 0x4e);
      d = _mm_shuffle_epi32(d, 0x39);
      step<7>(d, a, b);
      step<9>(c, d, a);
      step<13>(b, c, d);
      step<18>(a, b, c);
      b = _mm_shuffle_epi32(b, 0x39);
      c = _mm_shuffle_epi32(c, 0x4e);
      d = _mm_shuffle_epi32(d, 0x93);
    }
    return {_mm_add_epi32(a, in.a), _mm_add_epi32(b, in.b), _mm_add_epi32(c, in.c), _mm_add_epi32(d, in.d)};
  }

  static State mix(const State& t, const uint32_t* x) {
    const State in = load(x);
    return core({_mm_xor_si128(t.a, in.a), _mm_xor_si128(t.b, in.b), _mm_xor_si128(t.c, in.c),
                 _mm_xor_si128(t.d, in.d)});
  }
  static State mix(const State& t, const uint32_t* x, const uint32_t* y) {
    const State in = load_xor(x, y);
    return core({_mm_xor_si128(t.a, in.a), _mm_xor_si128(t.b, in.b), _mm_xor_si128(t.c, in.c),
                 _mm_xor_si128(t.d, in.d)});
  }
};

}  // namespace
}  // namespace quillet::scrypt::detail

#endif
