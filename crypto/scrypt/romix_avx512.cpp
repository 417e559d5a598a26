// The AVX-512 kernel: the SSE2 kernel's diagonals (diagonals.hpp), each
// rotation one VPROLD on a 128-bit register (AVX-512VL) instead of two shifts
// and an OR, which shortens every step of the rounds' dependency chain.
//
// Built with -mavx512f -mavx512vl (QUILLET_SALSA_AVX512 defined) and reached
// only where the dispatch (crypto/cpu) chose it.
#include <cstdint>

#if defined(QUILLET_SALSA_AVX512)
#include <immintrin.h>
#if !defined(QUILLET_SALSA_AVX512_BUILT)
#error "an AVX-512 build the dispatch does not know of"
#endif

#include "crypto/scrypt/diagonals.hpp"
#endif
#include "crypto/scrypt/romix.hpp"

namespace quillet::scrypt::detail {

#if defined(QUILLET_SALSA_AVX512)
namespace {

struct Avx512 : Diagonals<Avx512> {
  template <int k>
  static __m128i rotl(__m128i x) {
    return _mm_rol_epi32(x, k);
  }
};

}  // namespace

void romix_avx512_vartime(uint8_t* b, uint32_t r, uint64_t n, uint32_t* v, uint32_t* xy) {
  romix_vartime<Avx512>(b, r, n, v, xy);
}

#else

// Never called: the dispatch knows no AVX-512 kernel in this build.
void romix_avx512_vartime(uint8_t*, uint32_t, uint64_t, uint32_t*, uint32_t*) { __builtin_trap(); }

#endif

}  // namespace quillet::scrypt::detail
