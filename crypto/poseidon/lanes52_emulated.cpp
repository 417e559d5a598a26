// The lane kernel in plain integer arithmetic: the IFMA kernel's algorithm,
// instruction by instruction, on any processor.
#include "crypto/field/lanes52_ops.hpp"
#include "crypto/poseidon/lanes52.hpp"

namespace quillet::poseidon::lanes52 {

// Builds with tests run the emulated lanes under the checked policy: every
// lane test that runs them asserts the arithmetic's bounds.
#if defined(QUILLET_LANES_CHECKED)
using Policy = field::lanes52::Checked;
#else
using Policy = field::lanes52::Emulated;
#endif

void permute_emulated(const Constants& c, Block& b, bool squeeze_only) {
  LanePermutation<Policy>::permute(c, b, squeeze_only);
}

void one_state_emulated(const Constants& c, const OneStateConstants& o, uint64_t (*words)[4], bool squeeze_only) {
  LanePermutation<Policy>::one_state(c, o, words, squeeze_only);
}

}  // namespace quillet::poseidon::lanes52
