// The bucket lanes in plain integers: the IFMA kernel's algorithm on any
// processor, for the tests and when forced.
#include "crypto/field/lanes52_ops.hpp"
#include "crypto/jubjub/msm/msm_lanes.hpp"

namespace quillet::jubjub::msm_lanes {

void run_emulated(const Constants& k, Pass& p) { LaneBuckets<field::lanes52::Emulated>::run(k, p); }

#if defined(QUILLET_LANES_CHECKED)
void run_checked(const Constants& k, Pass& p) { LaneBuckets<field::lanes52::Checked>::run(k, p); }
#else
void run_checked(const Constants& k, Pass& p) { run_emulated(k, p); }
#endif

}  // namespace quillet::jubjub::msm_lanes
