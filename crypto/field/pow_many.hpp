// Many exponentiations to one public exponent at once, in lanes where the
// processor has AVX-512 IFMA: plain powers (batched subgroup checks) and
// square roots of ratios (decoding many points), whose denominators share one
// inversion (Montgomery's trick) and whose 2-adic finish runs per element.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "crypto/cpu/cpu.hpp"
#include "crypto/field/fr.hpp"
#include "crypto/field/lanes52.hpp"

namespace quillet::field {

// How the exponentiations run: one or two at a time in scalar code, or
// sixteen at a time in lanes.
using cpu::LaneKernel;
using cpu::lane_kernel_name;

// Whether this build and processor can run `k`.
bool pow_kernel_available(LaneKernel k);

// The kernel chosen once per process (cpu::choose_lane_kernel): the one
// QUILLET_LANES, or for the exponentiations alone its older alias
// QUILLET_POW_LANES, names if available, else ifma where available, else scalar.
LaneKernel pow_kernel();

// pow_public_exponent(x[i], e) for each i. Public inputs only.
std::vector<Fr> pow_many_vartime(std::span<const Fr> x, const FrRepr& e, LaneKernel k = pow_kernel());

// sqrt_ratio_vartime(u[i], v[i]) for each i (spans of one length): the same
// roots, the same refusals. Public inputs only.
std::vector<std::optional<Fr>> sqrt_ratio_many_vartime(std::span<const Fr> u, std::span<const Fr> v,
                                                       LaneKernel k = pow_kernel());

}  // namespace quillet::field
