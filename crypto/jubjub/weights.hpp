// The random weights of a random linear combination of equations (batch
// verification, the combined self-check of batch signing).
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "crypto/jubjub/fs.hpp"
#include "crypto/random/random_bytes.hpp"

namespace quillet::jubjub::detail {

// Each weight is this many random bits: a wrong equation survives the
// combination with probability at most 2^-kWeightBits.
inline constexpr unsigned kWeightBits = 128;

// Fills `weights` with independent kWeightBits-bit scalars from the kernel's
// generator. False, with `weights` unspecified, if the generator fails.
inline bool draw_weights(std::span<FsRepr> weights) {
  constexpr size_t kBytes = kWeightBits / 8;
  std::vector<uint8_t> bytes(weights.size() * kBytes);
  if (!random::fill_random(bytes)) return false;
  for (size_t i = 0; i < weights.size(); ++i) {
    weights[i] = FsRepr{};
    std::memcpy(weights[i].data(), &bytes[i * kBytes], kBytes);
  }
  return true;
}

}  // namespace quillet::jubjub::detail
