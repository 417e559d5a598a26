// The exponentiation lanes on AVX-512 IFMA, compiled alone with the
// instructions enabled (quillet_ifma_sources); empty in builds without them.
#if defined(QUILLET_LANES_IFMA)
#include "crypto/field/lane_builds.hpp"
#include "crypto/field/pow_lanes52.hpp"

template struct quillet::field::lanes52::LaneBuilds<quillet::field::pow_lanes52::Powers>;
#endif
