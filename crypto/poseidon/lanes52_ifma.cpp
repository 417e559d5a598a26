// The permutation's lanes on AVX-512 IFMA, compiled alone with the
// instructions enabled (quillet_ifma_sources); empty in builds without them.
#if defined(QUILLET_LANES_IFMA)
#include "crypto/field/lane_builds.hpp"
#include "crypto/poseidon/lanes52.hpp"

template struct quillet::field::lanes52::LaneBuilds<quillet::poseidon::lanes52::Permutation>;
#endif
