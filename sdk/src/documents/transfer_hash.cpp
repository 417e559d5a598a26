#include "sdk/src/documents/transfer_hash.hpp"

namespace quillet::sdk::documents {

hashing::HashWords transfer_hash_internal(const Transfer& t, poseidon::Squeezer* squeezer) {
  hashing::PoseidonHasher hasher(squeezer);
  hashing::absorb_u256(hasher, t.asset_id);
  hashing::absorb_u256(hasher, U256{});

  U256 first{{t.sender_position_id, t.receiver_position_id, t.sender_position_id, 0}};
  first = first.shl(32);
  first.add_assign(U256::from_u64(t.base.nonce));
  hashing::absorb_u256(hasher, first);

  U256 second{{0, t.amount, 4, 0}};
  second = second.shl(32);
  second.add_assign(U256::from_u64(t.base.expiration_timestamp));
  hashing::absorb_u256(hasher, second.shl(81));

  return hasher.finalize();
}

}  // namespace quillet::sdk::documents
