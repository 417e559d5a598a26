// The SSE2 kernel (x86-64's baseline): a block as four vectors, each holding
// one diagonal of the 4x4 matrix of words, so that the four quarter rounds
// of a column round are four vector steps; rotating three of the vectors by
// a lane turns the columns into rows and back. V keeps the same order, so
// no block is reordered inside ROMix.
#include <cstdint>

#include "crypto/scrypt/diagonals.hpp"
#include "crypto/scrypt/romix.hpp"

namespace quillet::scrypt::detail {

#if defined(__SSE2__)
namespace {

struct Sse2 : Diagonals<Sse2> {
  template <int k>
  static __m128i rotl(__m128i x) {
    return _mm_or_si128(_mm_slli_epi32(x, k), _mm_srli_epi32(x, 32 - k));
  }
};

}  // namespace

void romix_sse2_vartime(uint8_t* b, uint32_t r, uint64_t n, uint32_t* v, uint32_t* xy) {
  romix_vartime<Sse2>(b, r, n, v, xy);
}

#else

// Never called: the dispatch runs the SSE2 kernel on x86-64 alone.
void romix_sse2_vartime(uint8_t*, uint32_t, uint64_t, uint32_t*, uint32_t*) { __builtin_trap(); }

#endif

}  // namespace quillet::scrypt::detail
