// The exponentiation lanes in plain integers: the IFMA kernel's algorithm on any
// processor, for tests and for forcing.
#include "crypto/field/lanes52_ops.hpp"
#include "crypto/field/pow_lanes52.hpp"

namespace quillet::field::pow_lanes52 {

void run_emulated(const Constants& c, Block& b, Job job) { LanePow<lanes52::Emulated>::run(c, b, job); }

}  // namespace quillet::field::pow_lanes52
