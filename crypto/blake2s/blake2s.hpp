// BLAKE2s-256 with a personalisation, the hash behind the group hash.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace quillet::blake2s {

// The 8-byte personalisation field of the BLAKE2s parameter block.
using Personalization = std::array<uint8_t, 8>;

// BLAKE2s with a 32-byte digest, no key, an all-zero salt, fan-out 1, depth 1
// and `personal` in the parameter block, over the concatenation of `parts`.
// Fails hard only if libb2 reports an error, which it does not for these
// parameters.
std::array<uint8_t, 32> blake2s_personalized(std::initializer_list<std::span<const uint8_t>> parts,
                                             const Personalization& personal);

}  // namespace quillet::blake2s
