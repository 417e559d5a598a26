// The bucket lanes on AVX-512 IFMA, compiled alone with the instructions
// enabled (quillet_ifma_sources); reached only after cpu::features().avx512_ifma.
#include "crypto/field/lanes52_ops.hpp"
#include "crypto/jubjub/msm/msm_lanes.hpp"

namespace quillet::jubjub::msm_lanes {

#if defined(QUILLET_LANES_IFMA)

void run_ifma(const Constants& k, Pass& p) { LaneBuckets<field::lanes52::Ifma>::run(k, p); }
bool ifma_compiled() { return true; }

#else

// Never called: the dispatcher asks ifma_compiled() first.
void run_ifma(const Constants& k, Pass& p) { run_emulated(k, p); }
bool ifma_compiled() { return false; }

#endif

}  // namespace quillet::jubjub::msm_lanes
