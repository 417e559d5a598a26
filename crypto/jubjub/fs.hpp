// Fs: the field of integers modulo s, the order of the curve's prime-order
// subgroup. Private keys, nonces, challenges and the S half of signatures are
// Fs elements; point coordinates are Fr elements instead.
#pragma once

#include <cstdint>
#include <span>

#include "crypto/field/montgomery.hpp"
#include "crypto/jubjub/fs_modulus.hpp"

namespace quillet::jubjub {

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
