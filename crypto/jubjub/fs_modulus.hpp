// s, the order of the curve's prime-order subgroup: the modulus of Fs and the
// bound below which every private key lies.
#pragma once

#include <array>
#include <cstdint>

namespace quillet::jubjub {

// Four 64-bit limbs, least significant first.
inline constexpr std::array<uint64_t, 4> kFsModulus = {
    0x677297dc392126f1ULL, 0xab3eedb83920ee0aULL, 0x370a08b6d0302b0bULL, 0x060c89ce5c263405ULL};

}  // namespace quillet::jubjub
