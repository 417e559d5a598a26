// Square roots of many ratios at once, for decoding many points: the inverses
// of the denominators shared (Montgomery's trick), the long exponentiation in
// lanes where the processor has AVX-512 IFMA, the 2-adic finish per element.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "crypto/field/fr.hpp"

namespace quillet::field {

// How the exponentiations run: one or two at a time in scalar code (the
// portable path), or sixteen at a time in lanes (IFMA, or its instructions
// emulated in plain integers: slow, for tests).
enum class SqrtKernel { scalar, emulated, ifma };

std::string_view sqrt_kernel_name(SqrtKernel k);

// Whether this build and processor can run `k`.
bool sqrt_kernel_available(SqrtKernel k);

// The kernel chosen once per process: QUILLET_SQRT_LANES=scalar|emulated|ifma
// if that one is available, else ifma where available, else scalar.
SqrtKernel sqrt_kernel();

// sqrt_ratio_vartime(u[i], v[i]) for each i (spans of one length): the same
// roots, the same refusals. Public inputs only.
std::vector<std::optional<Fr>> sqrt_ratio_many_vartime(std::span<const Fr> u, std::span<const Fr> v,
                                                       SqrtKernel k = sqrt_kernel());

}  // namespace quillet::field
