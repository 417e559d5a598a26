// Exponentiation, inversion and square roots of ratios in Fr, shaped for the
// curve's needs: one constant-time inversion for normalising points made from
// secrets, and one square root per decoded point.
#pragma once

#include <optional>

#include "crypto/field/fr.hpp"

namespace quillet::jubjub {

using field::Fr;
using field::FrRepr;

// x^e by a sliding window of width 5. The sequence of operations depends on
// the exponent only, so x may be secret; e must be public.
Fr pow_public_exponent(const Fr& x, const FrRepr& e);

// 1/x for a nonzero x (zero gives zero), as x^(r-2): about 310
// multiplications, in time independent of x.
Fr invert(const Fr& x);

// A square root of u/v, or nothing when u/v is not a square in Fr or v is
// zero. Which of the two roots is returned is fixed by the procedure; callers
// needing a particular one adjust it. One exponentiation (no inversion) and a
// table-driven discrete logarithm in the 2^28-th roots of unity instead of the
// Tonelli-Shanks loop: about 340 multiplications. Running time depends on u
// and v: public inputs only.
std::optional<Fr> sqrt_ratio_vartime(const Fr& u, const Fr& v);

}  // namespace quillet::jubjub
