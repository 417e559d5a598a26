// The order fields shared by transfers, withdrawals and limit orders.
#pragma once

#include <cstdint>

#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk {

// In a document its three keys stand beside the document's own keys:
// "nonce" (u64 decimal string), "public_key" (hexadecimal packed key of the
// order's owner), "expiration_timestamp" (u32 decimal string).
struct OrderBase {
  uint64_t nonce = 0;
  U256 public_key;
  uint32_t expiration_timestamp = 0;

  bool operator==(const OrderBase&) const = default;
};

}  // namespace quillet::sdk
