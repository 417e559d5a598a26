#include "crypto/field/lanes52.hpp"

#include "crypto/field/lanes52_ops.hpp"

namespace quillet::field::lanes52 {

// The scalar forms of the templates' own conversions (the policy plays no
// part in them).
Limbs split52(const Repr& r) {
  Limbs l;
  Arith<Emulated>::split(r.data(), l.v, 1);
  return l;
}

Repr join52(const uint64_t* l, size_t stride) {
  Repr r;
  Arith<Emulated>::join(l, stride, r.data());
  return r;
}

}  // namespace quillet::field::lanes52
