// Shared helpers of the Poseidon layer's tests: decimal forms, the raw and
// optimised parameters of the system's instance (built once per test
// process), and the plain permutation that the optimised one must equal.
#pragma once

#include <string>
#include <vector>

#include "crypto/poseidon/grain.hpp"
#include "crypto/poseidon/poseidon.hpp"
#include "crypto/poseidon/spec.hpp"

namespace quillet::poseidon::testing {

std::string to_decimal(const Fr& x);
Fr from_decimal(const char* text);

const RawParameters& raw_parameters();
const Spec& instance_spec();

// Four full rounds, 63 partial rounds and four full rounds, each adding the
// raw constants, applying x^5 (to all elements, or element 0 only) and then
// the full MDS matrix.
void plain_permute(const RawParameters& raw, State& state);

// The factorisation step by step: factorise(acc), then acc = Mt·Mprime,
// r_p times from acc = Mt, the list reversed, the transition matrix the
// transpose of the last acc.
MDSMatrices reference_sparse_matrices(size_t r_p, const MDSMatrix& mds);

// The register one step at a time, and the filter one pair at a time.
class ReferenceGrain {
 public:
  ReferenceGrain(size_t width, size_t r_f, size_t r_p, unsigned field_bits = kFieldBits);
  bool new_bit();
  // The raw sample of `field_bits` filtered bits, first bit most significant.
  field::Repr raw_sample();

 private:
  std::vector<bool> state_;
  unsigned field_bits_;
};

}  // namespace quillet::poseidon::testing
