#include "crypto/field/fr.hpp"

namespace quillet::field {

// Compile every member once here so that a fault in any of them shows in
// this layer's build, not first in a caller's.
template class PrimeField<FrParams>;

}  // namespace quillet::field
