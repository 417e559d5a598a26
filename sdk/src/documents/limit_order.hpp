// The limit order document.
#pragma once

#include <cstdint>
#include <string_view>

#include "crypto/failure.hpp"
#include "sdk/src/documents/order_base.hpp"
#include "sdk/src/json/json_error.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk::json {
class Reader;
}

namespace quillet::sdk::documents {

// JSON object with "amount_synthetic", "amount_collateral", "amount_fee",
// "asset_id_synthetic", "asset_id_collateral", "position_id",
// "is_buying_synthetic" and the OrderBase keys.
struct LimitOrderRequest {
  uint64_t amount_synthetic = 0;
  uint64_t amount_collateral = 0;
  uint64_t amount_fee = 0;
  __int128 asset_id_synthetic = 0;  // signed; hashing refuses a negative one
  U256 asset_id_collateral;
  uint64_t position_id = 0;
  bool is_buying_synthetic = false;
  OrderBase base;

  bool operator==(const LimitOrderRequest&) const = default;
};

Expected<LimitOrderRequest, JsonError> parse_limit_order_request(std::string_view json);

// Reads one LimitOrderRequest value from `r`, as a whole document or as the
// value of a member of another document.
Expected<LimitOrderRequest, JsonError> read_limit_order_request(json::Reader& r);

}  // namespace quillet::sdk::documents
