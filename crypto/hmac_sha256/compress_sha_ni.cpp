// The SHA-256 compression with the SHA extensions, for one or two
// independent streams whose rounds are interleaved: each SHA256RNDS2 waits
// for the previous one of its stream, and the other stream's fills the gap.
//
// Built with -msha -msse4.1 (QUILLET_SHA_NI defined) and reached only where
// the dispatch (crypto/cpu) chose it. Nothing with external linkage but the
// entry points is defined here and no library header is included, so no
// inline function compiled for these instructions can be linked in place of
// another unit's copy.
#include <cstdint>

#if defined(QUILLET_SHA_NI)
#include <immintrin.h>
#if !defined(QUILLET_SHA_NI_BUILT)
#error "a SHA-NI build the dispatch does not know of"
#endif
#endif

namespace quillet::hmac_sha256::detail {

#if defined(QUILLET_SHA_NI)
namespace {

alignas(16) constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// N streams through the 64 rounds, four at a time. The instructions keep
// the state as (a, b, e, f) and (c, d, g, h); the message schedule
// W[t] = σ1(W[t-2]) + W[t-7] + σ0(W[t-15]) + W[t-16] runs four words ahead
// in a window of four vectors.
template <int N>
__attribute__((always_inline)) inline void compress_streams(uint32_t* const (&state)[N],
                                                            const uint8_t* const (&block)[N]) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i abef[N], cdgh[N], abef_in[N], cdgh_in[N], w[N][4];
  for (int n = 0; n < N; ++n) {
    const __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state[n])), 0xb1);
    const __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state[n] + 4)), 0x1b);
    abef[n] = abef_in[n] = _mm_alignr_epi8(dcba, efgh, 8);
    cdgh[n] = cdgh_in[n] = _mm_blend_epi16(efgh, dcba, 0xf0);
    for (int i = 0; i < 4; ++i) {
      w[n][i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block[n] + 16 * i)), byte_swap);
    }
  }
#pragma GCC unroll 16
  for (int j = 0; j < 16; ++j) {
    const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * j));
#pragma GCC unroll 4
    for (int n = 0; n < N; ++n) {
      // w[j % 4] holds W[4j-16..4j-13] on entry, [(j+1) % 4] the next four, and so on.
      __m128i* v = w[n];
      if (j >= 4) {
        const __m128i w7 = _mm_alignr_epi8(v[(j + 3) % 4], v[(j + 2) % 4], 4);
        v[j % 4] = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(v[j % 4], v[(j + 1) % 4]), w7),
                                        v[(j + 3) % 4]);
      }
      const __m128i wk = _mm_add_epi32(v[j % 4], k);
      cdgh[n] = _mm_sha256rnds2_epu32(cdgh[n], abef[n], wk);
      abef[n] = _mm_sha256rnds2_epu32(abef[n], cdgh[n], _mm_shuffle_epi32(wk, 0x0e));
    }
  }
  for (int n = 0; n < N; ++n) {
    const __m128i feba = _mm_shuffle_epi32(_mm_add_epi32(abef[n], abef_in[n]), 0x1b);
    const __m128i dchg = _mm_shuffle_epi32(_mm_add_epi32(cdgh[n], cdgh_in[n]), 0xb1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state[n]), _mm_blend_epi16(feba, dchg, 0xf0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state[n] + 4), _mm_alignr_epi8(dchg, feba, 8));
  }
}

}  // namespace

void compress_sha_ni_1(uint32_t* state, const uint8_t* block) {
  uint32_t* const states[1] = {state};
  const uint8_t* const blocks[1] = {block};
  compress_streams<1>(states, blocks);
}

void compress_sha_ni_2(uint32_t* a, const uint8_t* block_a, uint32_t* b, const uint8_t* block_b) {
  uint32_t* const states[2] = {a, b};
  const uint8_t* const blocks[2] = {block_a, block_b};
  compress_streams<2>(states, blocks);
}

#else

// Never called: the dispatch knows no SHA-NI kernel in this build.
void compress_sha_ni_1(uint32_t*, const uint8_t*) { __builtin_trap(); }
void compress_sha_ni_2(uint32_t*, const uint8_t*, uint32_t*, const uint8_t*) { __builtin_trap(); }

#endif

}  // namespace quillet::hmac_sha256::detail
