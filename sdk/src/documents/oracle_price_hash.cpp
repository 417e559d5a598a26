#include "sdk/src/documents/oracle_price_hash.hpp"

namespace quillet::sdk::documents {

hashing::HashWords oracle_price_hash(const SignedOraclePrice& p, poseidon::Squeezer* squeezer) {
  U256 packed = U256::from_u128(p.external_price).shl(32);
  packed.add_assign(U256::from_u64(p.timestamp));
  return hashing::hash2(p.signed_asset_id, packed, squeezer);
}

}  // namespace quillet::sdk::documents
