// The choice of multiplication kernel for the curve's inner loops, made once
// per call rather than at every product. Internal to crypto/jubjub.
#pragma once

#include "crypto/field/fr.hpp"

namespace quillet::jubjub::detail {

using field::Fr;

// How a routine multiplies: `Dispatched` picks the processor's kernel at
// each product; `WithInstructions<K>` uses kernel K throughout, for loops that
// pick it once (K = mulx_adx requires the processor to have it). Both give
// the same results.
struct Dispatched {
  static Fr mul(const Fr& a, const Fr& b) { return a * b; }
  static Fr sq(const Fr& a) {
    Fr r = a;
    r.square();
    return r;
  }
};

template <field::MulInstructions K>
struct WithInstructions {
  static Fr mul(const Fr& a, const Fr& b) {
    Fr r = a;
    r.template mul_assign_with<K>(b);
    return r;
  }
  static Fr sq(const Fr& a) {
    Fr r = a;
    r.template square_with<K>();
    return r;
  }
};

// Runs f.template operator()<M>() with the fastest policy of this processor.
template <class F>
decltype(auto) with_fastest_kernel(F&& f) {
  if (Fr::fastest_instructions() == field::MulInstructions::mulx_adx) {
    return f.template operator()<WithInstructions<field::MulInstructions::mulx_adx>>();
  }
  return f.template operator()<Dispatched>();
}

}  // namespace quillet::jubjub::detail
