// Modular addition and subtraction in one flag chain each, for moduli with
// room at the top (no_carry_modulus): the inputs are below p, so a + b never
// carries out of four limbs. Compilers split the carry chains of the plain
// versions into flag round trips; these run as straight ADC/SBB/CMOV code.
// Branch-free, so they may process secrets.
#pragma once

#include <cstdint>

#include "crypto/field/repr.hpp"

#if defined(__x86_64__)

namespace quillet::field::detail {

// a + b mod p for a, b below p and no_carry_modulus(p).
[[gnu::always_inline]] inline Repr add_mod_x86(const Repr& a, const Repr& b, const Repr& p) {
  uint64_t r0 = a[0], r1 = a[1], r2 = a[2], r3 = a[3];
  uint64_t t0, t1, t2, t3;
  __asm__(
      "addq %[b0], %[r0]\n\t"
      "adcq %[b1], %[r1]\n\t"
      "adcq %[b2], %[r2]\n\t"
      "adcq %[b3], %[r3]\n\t"
      "movq %[r0], %[t0]\n\t"
      "movq %[r1], %[t1]\n\t"
      "movq %[r2], %[t2]\n\t"
      "movq %[r3], %[t3]\n\t"
      "subq %[p0], %[t0]\n\t"
      "sbbq %[p1], %[t1]\n\t"
      "sbbq %[p2], %[t2]\n\t"
      "sbbq %[p3], %[t3]\n\t"
      // No borrow: the sum was at least p, take sum - p.
      "cmovncq %[t0], %[r0]\n\t"
      "cmovncq %[t1], %[r1]\n\t"
      "cmovncq %[t2], %[r2]\n\t"
      "cmovncq %[t3], %[r3]\n\t"
      : [r0] "+&r"(r0), [r1] "+&r"(r1), [r2] "+&r"(r2), [r3] "+&r"(r3), [t0] "=&r"(t0), [t1] "=&r"(t1),
        [t2] "=&r"(t2), [t3] "=&r"(t3)
      : [b0] "rm"(b[0]), [b1] "rm"(b[1]), [b2] "rm"(b[2]), [b3] "rm"(b[3]), [p0] "m"(p[0]), [p1] "m"(p[1]),
        [p2] "m"(p[2]), [p3] "m"(p[3])
      : "cc");
  return Repr{r0, r1, r2, r3};
}

// a - b mod p for a, b below p.
[[gnu::always_inline]] inline Repr sub_mod_x86(const Repr& a, const Repr& b, const Repr& p) {
  uint64_t r0 = a[0], r1 = a[1], r2 = a[2], r3 = a[3];
  uint64_t t0, t1, t2, t3;
  __asm__(
      "subq %[b0], %[r0]\n\t"
      "sbbq %[b1], %[r1]\n\t"
      "sbbq %[b2], %[r2]\n\t"
      "sbbq %[b3], %[r3]\n\t"
      // A borrow: add p back, selected by mask rather than by a branch.
      "sbbq %[t3], %[t3]\n\t"
      "movq %[p0], %[t0]\n\t"
      "movq %[p1], %[t1]\n\t"
      "movq %[p2], %[t2]\n\t"
      "andq %[t3], %[t0]\n\t"
      "andq %[t3], %[t1]\n\t"
      "andq %[t3], %[t2]\n\t"
      "andq %[p3], %[t3]\n\t"
      "addq %[t0], %[r0]\n\t"
      "adcq %[t1], %[r1]\n\t"
      "adcq %[t2], %[r2]\n\t"
      "adcq %[t3], %[r3]\n\t"
      : [r0] "+&r"(r0), [r1] "+&r"(r1), [r2] "+&r"(r2), [r3] "+&r"(r3), [t0] "=&r"(t0), [t1] "=&r"(t1),
        [t2] "=&r"(t2), [t3] "=&r"(t3)
      : [b0] "rm"(b[0]), [b1] "rm"(b[1]), [b2] "rm"(b[2]), [b3] "rm"(b[3]), [p0] "m"(p[0]), [p1] "m"(p[1]),
        [p2] "m"(p[2]), [p3] "m"(p[3])
      : "cc");
  return Repr{r0, r1, r2, r3};
}

}  // namespace quillet::field::detail

#endif
