// The lane kernel in plain integer arithmetic: the IFMA kernel's algorithm,
// instruction by instruction, on any processor.
#include "crypto/field/lanes52_ops.hpp"
#include "crypto/poseidon/lanes52.hpp"

namespace quillet::poseidon::lanes52 {

void permute_emulated(const Constants& c, Block& b, bool squeeze_only) {
  Kernel<field::lanes52::Emulated>::permute(c, b, squeeze_only);
}

}  // namespace quillet::poseidon::lanes52
