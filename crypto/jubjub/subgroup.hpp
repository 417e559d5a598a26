// Membership in the prime-order subgroup without multiplying by s.
//
// The curve's group is Z/8 x Z/s (its only rational point of order 2 is
// (0, -1), so the 2-part is cyclic), and the subgroup of order s is 8E, the
// multiples of 8. Since 8 divides r - 1, the reduced Tate pairing of order 8,
// t(T, P) = f(P)^((r-1)/8) with T a point of order 8 and div f = 8(T) - 8(O),
// is non-degenerate: it is 1 exactly when P lies in 8E. One evaluation of f
// (about 20 multiplications, through the curve's Montgomery form) and one
// exponentiation (about 300) replace 252 doublings and 42 additions.
#pragma once

#include <span>
#include <vector>

#include "crypto/field/pow_many.hpp"
#include "crypto/jubjub/edwards.hpp"
#include "crypto/spread/spread.hpp"

namespace quillet::jubjub::detail {

// Whether s·p is the neutral point. Variable time: public points only.
bool in_prime_order_subgroup_vartime(const Extended& p);

// The check in two steps, for callers that test many points together: f at
// p (one for the neutral point, zero for some points of small order), and
// whether a value's ((r-1)/8)-th power is one. The power is a homomorphism,
// so a product of values passes when each of them does.
Fr pairing_value_vartime(const Extended& p);
bool pairing_is_one_vartime(const Fr& f);
// The power of pairing_is_one_vartime, for a field::PowerWalk whose result is
// one exactly when pairing_is_one_vartime is true.
const field::WalkExponent& pairing_exponent();
// pairing_is_one_vartime of each value, the exponentiations taken together
// (field::pow_many_vartime).
std::vector<bool> pairings_are_one_vartime(std::span<const Fr> f);

// Whether each point (read where it lies) is in the prime-order subgroup.
// Few points are checked one by one. For many: f_i of the order-8 pairing
// at each (a zero one is outside), then 104 products of random subsets of
// the f_i, each raised to (r-1)/8. The power is a homomorphism onto the
// eighth roots of unity that is one exactly on the subgroup's f_i; with some
// point outside, flipping its membership in a subset changes the product's
// power, so each product passes with probability at most 1/2, all 104 with
// at most 2^-104. If one fails, every point is checked on its own. Subsets
// are drawn four points at a time from the 16 products of each block of
// four. Its stages run their pieces on `spread`; `first_side`'s pieces run
// beside those of its first stage (many short ones), and `last_side`'s beside
// those of its last (few long ones), a later stage.
std::vector<bool> in_subgroup_vartime(std::span<const Extended* const> points, const Spread& spread,
                                      const SidePieces& first_side = {}, const SidePieces& last_side = {});

}  // namespace quillet::jubjub::detail
