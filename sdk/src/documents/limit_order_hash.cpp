#include "sdk/src/documents/limit_order_hash.hpp"

namespace quillet::sdk::documents {

LimitOrderHashInput LimitOrderHashInput::from(const LimitOrderRequest& o) {
  const U256 synthetic = U256::from_i128(o.asset_id_synthetic);
  LimitOrderHashInput in;
  if (o.is_buying_synthetic) {
    in.asset_id_sell = o.asset_id_collateral;
    in.asset_id_buy = synthetic;
    in.amount_sell = o.amount_collateral;
    in.amount_buy = o.amount_synthetic;
  } else {
    in.asset_id_sell = synthetic;
    in.asset_id_buy = o.asset_id_collateral;
    in.amount_sell = o.amount_synthetic;
    in.amount_buy = o.amount_collateral;
  }
  in.asset_id_fee = o.asset_id_collateral;
  in.amount_fee = o.amount_fee;
  in.position_id = o.position_id;
  in.nonce = o.base.nonce;
  in.expiration_timestamp = o.base.expiration_timestamp;
  return in;
}

hashing::HashWords limit_order_hash_internal(const LimitOrderHashInput& in, poseidon::Squeezer* squeezer) {
  hashing::PoseidonHasher hasher(squeezer);
  hashing::absorb_u256(hasher, in.asset_id_sell);
  hashing::absorb_u256(hasher, in.asset_id_buy);
  hashing::absorb_u256(hasher, in.asset_id_fee);

  U256 first{{in.amount_fee, in.amount_buy, in.amount_sell, 0}};
  first = first.shl(32);
  first.words[0] += in.nonce;  // wraps within the word by design
  hashing::absorb_u256(hasher, first);

  U256 second{{in.position_id, in.position_id, in.position_id, 3}};
  second = second.shl(32);
  second.add_assign(U256::from_u64(in.expiration_timestamp));
  hashing::absorb_u256(hasher, second.shl(17));

  return hasher.finalize();
}

}  // namespace quillet::sdk::documents
