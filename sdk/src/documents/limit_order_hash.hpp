#pragma once

#include <cstdint>

#include "sdk/src/documents/limit_order.hpp"
#include "sdk/src/hashing/message_hash.hpp"

namespace quillet::sdk::documents {

// A limit order seen as what it sells and what it buys.
struct LimitOrderHashInput {
  U256 asset_id_sell;
  U256 asset_id_buy;
  U256 asset_id_fee;  // always the collateral
  uint64_t amount_sell = 0;
  uint64_t amount_buy = 0;
  uint64_t amount_fee = 0;
  uint64_t position_id = 0;  // fills all three position fields
  uint64_t nonce = 0;
  uint32_t expiration_timestamp = 0;

  // Fails hard with "Unsigned integer can't be created from negative value"
  // for a negative asset_id_synthetic.
  static LimitOrderHashInput from(const LimitOrderRequest& order);
};

// The Poseidon hash over sell, buy and fee assets and two packed values:
//   amount_sell·2^160 + amount_buy·2^96 + amount_fee·2^32, with the nonce
//   added into the lowest 64-bit word modulo 2^64 (no carry out of it),
//   3·2^241 + position·(2^177 + 2^113 + 2^49) + expiration_timestamp·2^17.
hashing::HashWords limit_order_hash_internal(const LimitOrderHashInput& in, poseidon::Squeezer* squeezer = nullptr);

}  // namespace quillet::sdk::documents
