// The lane kernel on AVX-512 IFMA. CMake compiles this file alone with
// -mavx512f -mavx512ifma where the compiler has them (quillet_ifma_sources);
// the policy it instantiates has internal linkage, so nothing built here runs
// unless the dispatcher has seen the instructions.
#include "crypto/field/lanes52_ops.hpp"
#include "crypto/poseidon/lanes52.hpp"

namespace quillet::poseidon::lanes52 {

#if defined(QUILLET_LANES_IFMA)

void permute_ifma(const Constants& c, Block& b, bool squeeze_only) {
  LanePermutation<field::lanes52::Ifma>::permute(c, b, squeeze_only);
}
void one_state_ifma(const Constants& c, const OneStateConstants& o, uint64_t (*words)[4], bool squeeze_only) {
  LanePermutation<field::lanes52::Ifma>::one_state(c, o, words, squeeze_only);
}
bool ifma_compiled() { return true; }

#else

// Never called: the dispatcher asks ifma_compiled() first.
void permute_ifma(const Constants& c, Block& b, bool squeeze_only) { permute_emulated(c, b, squeeze_only); }
void one_state_ifma(const Constants& c, const OneStateConstants& o, uint64_t (*words)[4], bool squeeze_only) {
  one_state_emulated(c, o, words, squeeze_only);
}
bool ifma_compiled() { return false; }

#endif

}  // namespace quillet::poseidon::lanes52
