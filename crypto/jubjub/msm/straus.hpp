// Variable-time multi-scalar multiplication for public scalars and points:
// Straus's method over width-5 NAFs, one shared chain of doublings for all
// terms. Internal to crypto/jubjub.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "crypto/jubjub/edwards.hpp"
#include "crypto/jubjub/scalar_recoding.hpp"

namespace quillet::jubjub::detail {

inline constexpr unsigned kWnafWidth = 5;
using Wnaf = std::array<int8_t, kWnafDigits>;

// P, 3P, 5P, ..., 15P: the multiples a width-5 NAF digit selects.
using OddMultiples = std::array<CachedNiels, 8>;

// `d2` is 2d. Costs one doubling and seven additions (about 64M).
OddMultiples odd_multiples(const Extended& p, const Fr& d2);

struct WnafTerm {
  const Wnaf* digits;
  const OddMultiples* multiples;
};

// A term over a fixed base whose odd multiples 1·P, 3·P, ... are tabulated in
// affine form, for NAFs of the table's width (up to 8, digits below 128).
struct AffineWnafTerm {
  const Wnaf* digits;
  const AffineNiels* multiples;
};

// The sum of k·P over the terms, k given by its NAF and P by its odd
// multiples: max length doublings (7M each) and one addition per nonzero
// digit (8M, or 7M for an affine term). Variable time.
Extended multi_mul_vartime(std::span<const WnafTerm> terms, std::span<const AffineWnafTerm> affine_terms = {});

// Independent work run a little at every doubling of a multiplication, so
// that the processor overlaps the two: a chain of dependent products fills
// the cycles in which the multiplication's own products wait.
class Beside {
 public:
  virtual void step() = 0;

 protected:
  ~Beside() = default;
};

// multi_mul_vartime, with beside.step() at every doubling.
Extended multi_mul_vartime(std::span<const WnafTerm> terms, std::span<const AffineWnafTerm> affine_terms,
                           Beside& beside);

}  // namespace quillet::jubjub::detail
