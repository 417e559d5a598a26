// The fixed-base lanes in plain integers: the IFMA kernel's algorithm on any
// processor, for machines without it when forced, the tests and the
// constant-time check (valgrind runs no AVX-512; this is the same source).
#include "crypto/field/lanes52_ops.hpp"
#include "crypto/jubjub/fixed_base_lanes.hpp"

namespace quillet::jubjub::fixed_base_lanes {

void run_emulated(const Table& t, Block& b) { LaneFixedBase<field::lanes52::Emulated>::run(t, b); }

#if defined(QUILLET_LANES_CHECKED)
void run_checked(const Table& t, Block& b) { LaneFixedBase<field::lanes52::Checked>::run(t, b); }
#else
void run_checked(const Table& t, Block& b) { run_emulated(t, b); }
#endif

}  // namespace quillet::jubjub::fixed_base_lanes
