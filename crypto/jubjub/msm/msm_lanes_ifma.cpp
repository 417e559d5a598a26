// The bucket lanes on AVX-512 IFMA, compiled alone with the instructions
// enabled (quillet_ifma_sources); empty in builds without them.
#if defined(QUILLET_LANES_IFMA)
#include "crypto/field/lane_builds.hpp"
#include "crypto/jubjub/msm/msm_lanes.hpp"

template struct quillet::field::lanes52::LaneBuilds<quillet::jubjub::msm_lanes::Buckets>;
#endif
