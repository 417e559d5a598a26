// The exponentiation lanes in plain integers: the IFMA kernel's algorithm on any
// processor, for tests and for forcing.
#include "crypto/field/lanes52_ops.hpp"
#include "crypto/field/pow_lanes52.hpp"

namespace quillet::field::pow_lanes52 {

// Builds with tests run the emulated lanes under the checked policy: every
// lane test that runs them asserts the arithmetic's bounds.
#if defined(QUILLET_LANES_CHECKED)
using Policy = lanes52::Checked;
#else
using Policy = lanes52::Emulated;
#endif

void run_emulated(const Constants& c, Block& b, Job job, size_t vectors) {
  LanePow<Policy>::run(c, b, job, vectors);
}

}  // namespace quillet::field::pow_lanes52
