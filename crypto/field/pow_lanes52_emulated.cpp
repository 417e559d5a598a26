// The exponentiation lanes in plain integers: the IFMA kernel's algorithm on
// any processor, for tests and for forcing.
#include "crypto/field/lane_builds.hpp"
#include "crypto/field/pow_lanes52.hpp"

template struct quillet::field::lanes52::LaneBuilds<quillet::field::pow_lanes52::Powers>;
