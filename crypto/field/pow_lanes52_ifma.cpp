// The exponentiation lanes on AVX-512 IFMA, compiled alone with the instructions
// enabled (quillet_ifma_sources); reached only after cpu::features().avx512_ifma.
#include "crypto/field/lanes52_ops.hpp"
#include "crypto/field/pow_lanes52.hpp"

namespace quillet::field::pow_lanes52 {

#if defined(QUILLET_LANES_IFMA)

void run_ifma(const Constants& c, Block& b, Job job, size_t vectors) {
  LanePow<lanes52::Ifma>::run(c, b, job, vectors);
}
bool ifma_compiled() { return true; }

#else

// Never called: the dispatcher asks ifma_compiled() first.
void run_ifma(const Constants& c, Block& b, Job job, size_t vectors) { run_emulated(c, b, job, vectors); }
bool ifma_compiled() { return false; }

#endif

}  // namespace quillet::field::pow_lanes52
