// Entry points of the core library quillet_sdk: one per Python function.
//
// Each returns its value or a general Error (the returned channel); lower
// layers may instead abandon the call with HardFailure (crypto/failure.hpp).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "sdk/src/error.hpp"

namespace quillet::sdk {

// The private key text derived from the seed's bytes.
Result<std::string> private_key_from_seed(std::span<const uint8_t> seed);

}  // namespace quillet::sdk
