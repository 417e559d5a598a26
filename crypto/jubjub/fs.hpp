// Fs: the field of integers modulo s, the order of the curve's prime-order
// subgroup. Private keys, nonces, challenges and the S half of signatures are
// Fs elements; point coordinates are Fr elements instead.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "crypto/field/montgomery.hpp"

namespace quillet::jubjub {

// s, the bound below which every private key lies: four 64-bit limbs, least
// significant first.
inline constexpr std::array<uint64_t, 4> kFsModulus = {
    0x677297dc392126f1ULL, 0xab3eedb83920ee0aULL, 0x370a08b6d0302b0bULL, 0x060c89ce5c263405ULL};

struct FsParams {
  static constexpr field::Repr kModulus = kFsModulus;
};

using Fs = field::PrimeField<FsParams>;
// The canonical integer form: four 64-bit limbs, least significant first.
using FsRepr = field::Repr;

// s itself, as a raw 256-bit integer: multiplying a point by it tells whether
// the point lies in the prime-order subgroup.
constexpr FsRepr fs_char() { return kFsModulus; }

// The 32 `bytes` read as a little-endian integer (byte 0 least significant),
// reduced modulo s. Runs in constant time. Fails hard unless exactly 32
// bytes are given.
Fs to_uniform_32(std::span<const uint8_t> bytes);

}  // namespace quillet::jubjub
