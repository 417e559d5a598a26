// Fr on the 52-bit lanes (lanes52.hpp): the constants every lane kernel over
// Fr takes, and elements into the lanes' form. An element there is held
// times 2^260 (the lanes' Montgomery radix), which is sixteen times Fr's own
// 2^256 form; multiplying by from_lanes() takes it back.
#pragma once

#include "crypto/field/fr.hpp"
#include "crypto/field/lanes52.hpp"

namespace quillet::field::fr_lanes {

// p, 2p and -p^-1 mod 2^52.
lanes52::Modulus modulus();

// 2^256 mod p: a lane product with it turns the 2^260 form into Fr's.
lanes52::Limbs from_lanes();

// v·2^260 mod p, canonical; or its kLimbs limbs written to `limbs`.
lanes52::Limbs to_lanes(const Fr& v);
void to_lanes(const Fr& v, uint64_t* limbs);

}  // namespace quillet::field::fr_lanes
