// The bucket lanes in plain integers: the IFMA kernel's algorithm on any
// processor, for the tests and when forced.
#include "crypto/field/lane_builds.hpp"
#include "crypto/jubjub/msm/msm_lanes.hpp"

template struct quillet::field::lanes52::LaneBuilds<quillet::jubjub::msm_lanes::Buckets>;
