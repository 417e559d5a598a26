// The lane kernel on AVX-512 IFMA. CMake compiles this file alone with
// -mavx512f -mavx512ifma where the compiler has them; it includes no header
// with inline code another unit could share, so nothing built here runs
// unless the dispatcher has seen the instructions.
#include "crypto/poseidon/lanes52.hpp"

#if defined(QUILLET_LANES_IFMA)
#include <immintrin.h>
// GCC 12 reports the placeholder operand inside its own shift intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif

namespace quillet::poseidon::lanes52 {

#if defined(QUILLET_LANES_IFMA)
namespace {

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

}  // namespace

void permute_ifma(const Constants& c, Block& b, bool squeeze_only) { Kernel<Ifma>::permute(c, b, squeeze_only); }
bool ifma_compiled() { return true; }

#else

// Never called: the dispatcher asks ifma_compiled() first.
void permute_ifma(const Constants& c, Block& b, bool squeeze_only) { permute_emulated(c, b, squeeze_only); }
bool ifma_compiled() { return false; }

#endif

}  // namespace quillet::poseidon::lanes52
