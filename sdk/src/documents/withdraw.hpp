// The withdrawal document: moving collateral out to an address.
#pragma once

#include <cstdint>
#include <string_view>

#include "crypto/failure.hpp"
#include "sdk/src/documents/order_base.hpp"
#include "sdk/src/json/json_error.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk::documents {

// JSON object with "position_id", "amount", "eth_address", "asset_id" and the
// OrderBase keys.
struct WithdrawRequest {
  uint64_t position_id = 0;
  uint64_t amount = 0;
  U256 eth_address;  // the destination address as a number
  U256 asset_id;
  OrderBase base;

  bool operator==(const WithdrawRequest&) const = default;
};

Expected<WithdrawRequest, JsonError> parse_withdraw_request(std::string_view json);

}  // namespace quillet::sdk::documents
