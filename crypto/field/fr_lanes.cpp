#include "crypto/field/fr_lanes.hpp"

namespace quillet::field::fr_lanes {

lanes52::Modulus modulus() {
  // 2p < 2^255 fits the four words.
  FrRepr p2{};
  uint64_t carry = 0;
  for (size_t i = 0; i < 4; ++i) {
    p2[i] = (Fr::kModulus[i] << 1) | carry;
    carry = Fr::kModulus[i] >> 63;
  }
  return lanes52::Modulus{lanes52::split52(Fr::kModulus), lanes52::split52(p2), Fr::kInv & ((uint64_t{1} << 52) - 1)};
}

lanes52::Limbs from_lanes() { return lanes52::split52(Fr::kR); }

lanes52::Limbs to_lanes(const Fr& v) {
  Fr x = v;
  for (int d = 0; d < 4; ++d) x.double_();  // times 16: 2^256 form to 2^260
  return lanes52::split52(x.montgomery_limbs());
}

void to_lanes(const Fr& v, uint64_t* limbs) {
  const lanes52::Limbs l = to_lanes(v);
  for (size_t i = 0; i < lanes52::kLimbs; ++i) limbs[i] = l.v[i];
}

}  // namespace quillet::field::fr_lanes
