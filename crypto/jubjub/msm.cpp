#include "crypto/jubjub/msm.hpp"

#include <algorithm>
#include <cstddef>

namespace quillet::jubjub::detail {

OddMultiples odd_multiples(const Extended& p, const Fr& d2) {
  OddMultiples out{};
  const CachedNiels twice = to_cached(to_extended(dbl(to_projective(p))), d2);
  Extended current = p;
  out[0] = to_cached(current, d2);
  for (size_t i = 1; i < out.size(); ++i) {
    current = to_extended(add(current, twice));
    out[i] = to_cached(current, d2);
  }
  return out;
}

Extended multi_mul_vartime(std::span<const WnafTerm> terms) {
  size_t len = 0;
  for (const WnafTerm& term : terms) len = std::max(len, digit_length(*term.digits));
  // The running sum stays in completed form: the next doubling needs its
  // projective form (3M), an addition its extended form (4M).
  Completed acc{Fr::zero(), Fr::one(), Fr::one(), Fr::one()};
  for (size_t i = len; i-- > 0;) {
    acc = dbl(to_projective(acc));
    for (const WnafTerm& term : terms) {
      const int d = (*term.digits)[i];
      if (d > 0) {
        acc = add(to_extended(acc), (*term.multiples)[static_cast<size_t>(d / 2)]);
      } else if (d < 0) {
        acc = sub(to_extended(acc), (*term.multiples)[static_cast<size_t>(-d / 2)]);
      }
    }
  }
  return to_extended(acc);
}

}  // namespace quillet::jubjub::detail
