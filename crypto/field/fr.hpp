// Fr: the scalar field of the BN254 pairing curve, modulus
// p = 21888242871839275222246405745257275088548364400416034343698204186575808495617.
// The Poseidon instance works in it and the signature curve is defined over it.
#pragma once

#include "crypto/field/montgomery.hpp"

namespace quillet::field {

struct FrParams {
  static constexpr Repr kModulus = {0x43e1f593f0000001ULL, 0x2833e84879b97091ULL, 0xb85045b68181585dULL,
                                    0x30644e72e131a029ULL};
  // 7^t, a primitive 2^28-th root of unity, in Montgomery form.
  static constexpr Repr kRootOfUnity = {0x9632c7c5b639feb8ULL, 0x985ce3400d0ff299ULL, 0xb2dd880001b0ecd8ULL,
                                        0x1d69070d6d98ce29ULL};
};

using Fr = PrimeField<FrParams>;
using FrRepr = Repr;

// The derived constants agree with the published table of the field.
static_assert(Fr::kInv == 0xc2e1f593efffffffULL);
static_assert(Fr::kR == Repr{0xac96341c4ffffffbULL, 0x36fc76959f60cd29ULL, 0x666ea36f7879462eULL, 0x0e0a77c19a07df2fULL});
static_assert(Fr::kR2 == Repr{0x1bb8e645ae216da7ULL, 0x53fe3ab1e35c59e3ULL, 0x8c49833d53bb8085ULL, 0x0216d0b17f4e44a5ULL});
static_assert(Fr::kR3 == Repr{0x5e94d8e1b4bf0040ULL, 0x2a489cbe1cfbb6b8ULL, 0x893cc664a19fcfedULL, 0x0cf8594b7fcc657cULL});
static_assert(Fr::kModulusMinusTwo ==
              Repr{0x43e1f593efffffffULL, 0x2833e84879b97091ULL, 0xb85045b68181585dULL, 0x30644e72e131a029ULL});
static_assert(Fr::kLegendreExponent ==
              Repr{0xa1f0fac9f8000000ULL, 0x9419f4243cdcb848ULL, 0xdc2822db40c0ac2eULL, 0x183227397098d014ULL});
static_assert(Fr::kTwoAdicity == 28);
static_assert(Fr::kT == Repr{0x9b9709143e1f593fULL, 0x181585d2833e8487ULL, 0x131a029b85045b68ULL, 0x000000030644e72eULL});
static_assert(Fr::kTPlusOneHalf ==
              Repr{0xcdcb848a1f0faca0ULL, 0x0c0ac2e9419f4243ULL, 0x098d014dc2822db4ULL, 0x0000000183227397ULL});

}  // namespace quillet::field
