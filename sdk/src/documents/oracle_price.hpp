// The signed oracle price document.
#pragma once

#include <cstdint>
#include <string_view>

#include "crypto/failure.hpp"
#include "sdk/src/json/json_error.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk::documents {

// JSON object with "signer_key", "external_price", "timestamp",
// "signed_asset_id"; or a JSON array of those four values in that order.
struct SignedOraclePrice {
  U256 signer_key;
  unsigned __int128 external_price = 0;
  uint32_t timestamp = 0;
  U256 signed_asset_id;

  bool operator==(const SignedOraclePrice&) const = default;
};

Expected<SignedOraclePrice, JsonError> parse_signed_oracle_price(std::string_view json);

}  // namespace quillet::sdk::documents
