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

// Transaction hashes: the hash text ("0x" and 64 lower-case digits) of a
// JSON document. hash_transfer fails hard on a document that does not parse;
// the others return its error. A negative asset_id_synthetic fails hard.
Result<std::string> hash_transfer(std::string_view json);
Result<std::string> hash_withdraw(std::string_view json);
Result<std::string> hash_limit_order(std::string_view json);
Result<std::string> hash_liquidate(std::string_view json);
Result<std::string> hash_signed_oracle_price(std::string_view json);

}  // namespace quillet::sdk
