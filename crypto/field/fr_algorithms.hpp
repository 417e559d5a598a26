// Exponentiation, inversion and square roots of ratios in Fr, shaped for the
// curve's needs: one constant-time inversion for normalising points made from
// secrets, and one square root per decoded point.
#pragma once

#include <array>
#include <optional>

#include "crypto/field/fr.hpp"

namespace quillet::field {


// x^e by a sliding window of width 5. The sequence of operations depends on
// the exponent only, so x may be secret; e must be public.
Fr pow_public_exponent(const Fr& x, const FrRepr& e);

// 1/x for a nonzero x (zero gives zero), in time independent of x: 590
// divsteps of Bernstein and Yang on 62-bit limbs, a few microseconds where
// x^(r-2) would take about 310 multiplications.
Fr invert_safegcd(const Fr& x);

// A square root of u/v, or nothing when u/v is not a square in Fr or v is
// zero. Which of the two roots is returned is fixed by the procedure; callers
// needing a particular one adjust it. One exponentiation (no inversion) and a
// table-driven discrete logarithm in the 2^28-th roots of unity instead of the
// Tonelli-Shanks loop: about 340 multiplications. Running time depends on u
// and v: public inputs only.
std::optional<Fr> sqrt_ratio_vartime(const Fr& u, const Fr& v);

// sqrt_ratio_vartime of (u0, v0) and of (u1, v1), the same roots, with the
// two exponentiations interleaved: about a tenth faster than one after the
// other. Public inputs only.
std::array<std::optional<Fr>, 2> sqrt_ratio_pair_vartime(const Fr& u0, const Fr& v0, const Fr& u1, const Fr& v1);

namespace detail {

// The 2-adic finish of sqrt_ratio_vartime for rho = u/v nonzero, from
// r = rho^((t+1)/2) and b_pow[k] = rho^(t·2^(7k)): the same root, or nothing
// for a non-square. For callers that reach these powers their own way.
std::optional<Fr> sqrt_finish_vartime(const Fr& r, const std::array<Fr, 4>& b_pow);

}  // namespace detail

}  // namespace quillet::field
