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

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "crypto/field/pow_many.hpp"
#include "crypto/jubjub/edwards.hpp"

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

// Many points checked together, in steps a caller schedules: f_i of the
// order-8 pairing at each (pairing_value_vartime; a zero one is outside),
// then kSubgroupQueries products of random subsets of the nonzero f_i, each
// raised to (r-1)/8. The power is a homomorphism onto the eighth roots of
// unity that is one exactly on the subgroup's f_i; with some point outside,
// flipping its membership in a subset changes the product's power, so each
// product passes with probability at most 1/2, all of them with at most
// 2^-kSubgroupQueries. If one fails, each value is checked on its own
// (pairings_are_one_vartime). Below kMinSharedQueries values the queries
// cost more than a power per value: about 330 multiplications each, against
// 104 exponentiations of about 310 shared and about 55 each (116 values).
inline constexpr size_t kSubgroupQueries = 104;
inline constexpr size_t kMinSharedQueries = 128;
// The queries' powers run this many at a time (a vector of lanes where they
// run): cutting the queries at its multiples wastes no lanes.
inline constexpr size_t kQueriesAtOnce = field::pow_lanes52::kLanes;

// Each query's product over one range of the values.
using QueryProducts = std::array<Fr, kSubgroupQueries>;

// The random subsets of the queries over up to `values` values: query q's is
// row q of subset_bytes(values) / kSubgroupQueries bytes, four bits per
// block of four values (block b's in the low half of byte b/2 when b is even).
constexpr size_t subset_bytes(size_t values) { return kSubgroupQueries * ((values + 7) / 8); }
// Blocks of four of n values, the last padded with ones.
constexpr size_t value_blocks(size_t n) { return (n + 3) / 4; }

// Each query's product of its subset's values in blocks [first_block,
// last_block) of f (values past f's end count as one), through the 16
// products of each block's four values. Requires `subsets` of
// subset_bytes(m) bytes for some m at least f.size(). Pure: calls on
// disjoint block ranges may run at once, and the queries' products are the
// products of the ranges'.
QueryProducts query_products_vartime(std::span<const Fr> f, std::span<const uint8_t> subsets, size_t first_block,
                                     size_t last_block);

// Whether queries [first, last) all pass: each one's product over every
// range in `ranges` raised to (r-1)/8 is one.
bool queries_pass_vartime(std::span<const QueryProducts> ranges, size_t first, size_t last);

}  // namespace quillet::jubjub::detail
