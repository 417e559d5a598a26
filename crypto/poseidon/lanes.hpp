// Many independent permutations at once: the kernel choice and the dispatch
// (the constants' lane form is in lane_spec.hpp; the deferral that lets code
// written for one hash at a time feed them in deferred.hpp).
//
// Kernels:
// - ifma: eight states per AVX-512 IFMA instruction, 52-bit limbs
//   (lanes52.hpp). Where the processor has AVX-512F and IFMA.
// - emulated: the same algorithm in plain integer arithmetic. Never chosen
//   by itself; it tests the algorithm where the instructions are missing.
// - scalar: one permute_squeeze per state.
// The process's kernel is chosen once, on first use, by cpu::dispatch():
// QUILLET_LANES ("scalar", "emulated" or "ifma"), or for the permutation
// alone its older alias QUILLET_POSEIDON_LANES, forces one when this
// processor can run it; otherwise ifma if the processor has it, else scalar.
// AVX2 has no kernel of its own: with 32x32-bit products only, a field
// product takes about 160 of them over four lanes, some 40 per state, which
// is what the scalar MULX code already spends.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "crypto/cpu/cpu.hpp"
#include "crypto/poseidon/lane_spec.hpp"
#include "crypto/poseidon/lanes52.hpp"
#include "crypto/poseidon/poseidon.hpp"

namespace quillet::poseidon {

using cpu::LaneKernel;
using cpu::lane_kernel_name;

// The kernel of this process (see above); fixed after the first call.
inline LaneKernel lane_kernel() { return cpu::lane_kernel(cpu::LaneFamily::permutation); }

// out[i] = permute_squeeze(spec, states[i]) for every i, on kernel `k`
// (which must be available). `states` are left unspecified. out.size() ==
// states.size().
void permute_squeeze_many(const LaneSpec& spec, std::span<State> states, std::span<Fr> out,
                          LaneKernel k = lane_kernel());

// permute(spec, states[i]) for every i, on kernel `k`.
void permute_many(const LaneSpec& spec, std::span<State> states, LaneKernel k = lane_kernel());

// permute(spec, state), or with squeeze_only permute_squeeze's element 1
// (the others unspecified), with the full rounds on kernel `k`: one state's
// elements 1 to 8 across the lanes, element 0 beside them in scalar code.
// On the scalar kernel, the scalar permutation.
void permute_one(const LaneSpec& spec, State& state, bool squeeze_only, LaneKernel k);

}  // namespace quillet::poseidon
