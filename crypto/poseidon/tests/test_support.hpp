// Shared helpers of the Poseidon layer's tests: decimal forms, the raw and
// optimised parameters of the system's instance (built once per test
// process), and the plain permutation that the optimised one must equal.
#pragma once

#include <string>

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

}  // namespace quillet::poseidon::testing
