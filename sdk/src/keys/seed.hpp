#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "crypto/jubjub/fs.hpp"
#include "sdk/src/error.hpp"

namespace quillet::sdk::keys {

// The private key text ("0x" and 64 lower-case digits) derived from `seed`:
// the first of SHA-256(SHA-256(seed)), SHA-256 of that, ... that is below s.
// Fails with "seed is too short" for fewer than 32 bytes.
Result<std::string> private_key_from_seed(std::span<const uint8_t> seed);

// The same key as its scalar, never written as text; the same error.
Result<jubjub::Fs> private_key_scalar_from_seed(std::span<const uint8_t> seed);

}  // namespace quillet::sdk::keys
