#include "crypto/jubjub/msm/straus.hpp"

#include <algorithm>
#include <cstddef>

namespace quillet::jubjub::detail {
namespace {

template <class M>
[[gnu::flatten]] OddMultiples odd_multiples_with(const Extended& p, const Fr& d2) {
  OddMultiples out{};
  const CachedNiels twice = to_cached<M>(to_extended<M>(dbl<M>(to_projective(p))), d2);
  Extended current = p;
  out[0] = to_cached<M>(current, d2);
  for (size_t i = 1; i < out.size(); ++i) {
    current = to_extended<M>(add<M>(current, twice));
    out[i] = to_cached<M>(current, d2);
  }
  return out;
}

template <class Term>
size_t max_length_vartime(std::span<const Term> terms) {
  size_t len = 0;
  for (const Term& term : terms) len = std::max(len, digit_length_vartime(*term.digits));
  return len;
}

// acc + d·P for the odd digit d (or nothing for zero), P's odd multiples in
// `multiples`.
template <class M, class Niels>
void add_digit_vartime(Completed& acc, int d, const Niels* multiples) {
  if (d > 0) {
    acc = add<M>(to_extended<M>(acc), multiples[d / 2]);
  } else if (d < 0) {
    acc = sub<M>(to_extended<M>(acc), multiples[-d / 2]);
  }
}

template <class M>
[[gnu::flatten]] Extended multi_mul_with(std::span<const WnafTerm> terms, std::span<const AffineWnafTerm> affine_terms,
                                         Beside* beside) {
  const size_t len = std::max(max_length_vartime(terms), max_length_vartime(affine_terms));
  // The running sum stays in completed form: the next doubling needs its
  // projective form (3M), an addition its extended form (4M).
  Completed acc{Fr::zero(), Fr::one(), Fr::one(), Fr::one()};
  for (size_t i = len; i-- > 0;) {
    acc = dbl<M>(to_projective<M>(acc));
    if (beside != nullptr) beside->step();
    for (const WnafTerm& term : terms) add_digit_vartime<M>(acc, (*term.digits)[i], term.multiples->data());
    for (const AffineWnafTerm& term : affine_terms) add_digit_vartime<M>(acc, (*term.digits)[i], term.multiples);
  }
  return to_extended<M>(acc);
}

}  // namespace

// The kernel is chosen once per call, so that the loops keep their operands
// in registers instead of around a possible call at every product.
OddMultiples odd_multiples(const Extended& p, const Fr& d2) {
  return with_fastest_kernel([&]<class M>() { return odd_multiples_with<M>(p, d2); });
}

Extended multi_mul_vartime(std::span<const WnafTerm> terms, std::span<const AffineWnafTerm> affine_terms) {
  return with_fastest_kernel([&]<class M>() { return multi_mul_with<M>(terms, affine_terms, nullptr); });
}

Extended multi_mul_vartime(std::span<const WnafTerm> terms, std::span<const AffineWnafTerm> affine_terms,
                           Beside& beside) {
  return with_fastest_kernel([&]<class M>() { return multi_mul_with<M>(terms, affine_terms, &beside); });
}

}  // namespace quillet::jubjub::detail
