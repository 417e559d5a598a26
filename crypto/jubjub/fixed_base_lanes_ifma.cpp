// The fixed-base lanes on AVX-512 IFMA, compiled alone with the instructions
// enabled (quillet_ifma_sources); empty in builds without them.
#if defined(QUILLET_LANES_IFMA)
#include "crypto/field/lane_builds.hpp"
#include "crypto/jubjub/fixed_base_lanes.hpp"

namespace quillet::jubjub::fixed_base_lanes {

// The lane moves of the row-parallel forms (in-register permutes, one
// 32-byte load broadcast to both halves) and the scan's masks.
template <>
struct LaneMoves<field::lanes52::Ifma> : field::lanes52::Ifma {
  template <unsigned M>
  static V xor_lanes(V a) {
    static_assert(M == 1 || M == 2 || M == 4);
    if constexpr (M == 4) {
      return _mm512_shuffle_i64x2(a, a, 0x4e);
    } else if constexpr (M == 2) {
      return _mm512_permutex_epi64(a, 0x4e);
    } else {
      return _mm512_permutex_epi64(a, 0xb1);
    }
  }
  static V load_halves(const uint64_t* p) {
    return _mm512_broadcast_i64x4(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  }
  // A table scan's selection in mask registers: one blend per limb, the
  // entry's load folded into it.
  using Mask = __mmask8;
  static Mask eq_mask(V a, V b) { return _mm512_cmpeq_epi64_mask(a, b); }
  static V take(Mask m, V v, V old) { return _mm512_mask_mov_epi64(old, m, v); }
};

}  // namespace quillet::jubjub::fixed_base_lanes

template struct quillet::field::lanes52::LaneBuilds<quillet::jubjub::fixed_base_lanes::FixedBase>;
#endif
