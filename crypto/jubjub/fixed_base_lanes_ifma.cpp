// The fixed-base lanes on AVX-512 IFMA, compiled alone with the instructions
// enabled (quillet_ifma_sources); reached only after cpu::features().avx512_ifma.
#include "crypto/field/lanes52_ops.hpp"
#include "crypto/jubjub/fixed_base_lanes.hpp"

namespace quillet::jubjub::fixed_base_lanes {

#if defined(QUILLET_LANES_IFMA)

void run_ifma(const Table& t, Block& b) { LaneFixedBase<field::lanes52::Ifma>::run(t, b); }
bool ifma_compiled() { return true; }

#else

// Never called: the dispatcher asks ifma_compiled() first.
void run_ifma(const Table& t, Block& b) { run_emulated(t, b); }
bool ifma_compiled() { return false; }

#endif

}  // namespace quillet::jubjub::fixed_base_lanes
