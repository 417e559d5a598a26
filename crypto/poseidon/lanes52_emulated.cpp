// The permutation's lanes in plain integer arithmetic: the IFMA kernel's
// algorithm, instruction by instruction, on any processor.
#include "crypto/field/lane_builds.hpp"
#include "crypto/poseidon/lanes52.hpp"

template struct quillet::field::lanes52::LaneBuilds<quillet::poseidon::lanes52::Permutation>;
