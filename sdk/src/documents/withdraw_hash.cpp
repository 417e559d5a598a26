#include "sdk/src/documents/withdraw_hash.hpp"

namespace quillet::sdk::documents {
namespace {

// p·2^bits + v, with the overflow checks of U256 arithmetic.
U256 shift_in(const U256& p, unsigned bits, uint64_t v) {
  U256 r = p.mul(U256::from_u64(1).shl(bits));
  r.add_assign(U256::from_u64(v));
  return r;
}

}  // namespace

WithdrawalHashInput WithdrawalHashInput::from(const WithdrawRequest& w) {
  return {w.eth_address, w.base.public_key, w.base.nonce, w.base.expiration_timestamp,
          w.position_id, w.amount};
}

hashing::HashWords withdrawal_hash(const WithdrawalHashInput& in, const U256& asset_id,
                                   poseidon::Squeezer* squeezer) {
  const bool to_owner = in.eth_address == in.public_key;
  U256 first = asset_id;
  if (!to_owner) {
    const hashing::HashWords h = hashing::hash2(asset_id, in.eth_address, squeezer);
    first = U256{h};
  }
  U256 packed = U256::from_u64(to_owner ? 6 : 7);
  packed = shift_in(packed, 64, in.position_id);
  packed = shift_in(packed, 32, in.nonce);
  packed = shift_in(packed, 64, in.amount);
  packed = shift_in(packed, 32, in.expiration_timestamp);
  packed = packed.shl(49);

  hashing::PoseidonHasher hasher(squeezer);
  hashing::absorb_u256(hasher, first);
  hashing::absorb_u256(hasher, packed);
  return hasher.finalize();
}

}  // namespace quillet::sdk::documents
