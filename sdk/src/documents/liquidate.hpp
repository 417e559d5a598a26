// The liquidation document: a liquidator's order against a position.
#pragma once

#include <cstdint>
#include <string_view>

#include "crypto/failure.hpp"
#include "sdk/src/documents/limit_order.hpp"
#include "sdk/src/json/json_error.hpp"

namespace quillet::sdk::documents {

// JSON object with "liquidator_order" (a complete LimitOrderRequest object,
// its OrderBase keys inside it), "liquidated_position_id",
// "actual_collateral", "actual_synthetic", "actual_liquidator_fee"; or a JSON
// array of those five values in that order.
struct Liquidate {
  LimitOrderRequest liquidator_order;
  uint64_t liquidated_position_id = 0;
  uint64_t actual_collateral = 0;
  uint64_t actual_synthetic = 0;
  uint64_t actual_liquidator_fee = 0;

  bool operator==(const Liquidate&) const = default;
};

Expected<Liquidate, JsonError> parse_liquidate(std::string_view json);

}  // namespace quillet::sdk::documents
