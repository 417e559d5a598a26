// The transfer document: a payment from one position to another.
#pragma once

#include <cstdint>
#include <string_view>

#include "crypto/failure.hpp"
#include "sdk/src/documents/order_base.hpp"
#include "sdk/src/json/json_error.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk::documents {

// JSON object with "sender_position_id", "receiver_public_key",
// "receiver_position_id", "amount", "asset_id" and the OrderBase keys.
struct Transfer {
  uint64_t sender_position_id = 0;
  U256 receiver_public_key;
  uint64_t receiver_position_id = 0;
  uint64_t amount = 0;
  U256 asset_id;
  OrderBase base;

  bool operator==(const Transfer&) const = default;
};

Expected<Transfer, JsonError> parse_transfer(std::string_view json);

}  // namespace quillet::sdk::documents
