#pragma once

#include <cstdint>

#include "sdk/src/documents/withdraw.hpp"
#include "sdk/src/hashing/message_hash.hpp"

namespace quillet::sdk::documents {

// The fields of a withdrawal that its hash reads besides the asset id.
struct WithdrawalHashInput {
  U256 eth_address;
  U256 public_key;  // only compared with eth_address
  uint64_t nonce = 0;
  uint32_t expiration_timestamp = 0;
  uint64_t position_id = 0;
  uint64_t amount = 0;

  static WithdrawalHashInput from(const WithdrawRequest& w);
};

// hash(first, packed), where first is asset_id itself (tag 6) when
// eth_address equals public_key as numbers, and hashing::hash2(asset_id, eth_address)
// otherwise (tag 7); packed is tag·2^241 + position_id·2^177 + nonce·2^145 +
// amount·2^81 + expiration_timestamp·2^49 (a wide nonce carries).
hashing::HashWords withdrawal_hash(const WithdrawalHashInput& input, const U256& asset_id,
                                   poseidon::Squeezer* squeezer = nullptr);

}  // namespace quillet::sdk::documents
