#pragma once

#include "sdk/src/documents/oracle_price.hpp"
#include "sdk/src/hashing/message_hash.hpp"

namespace quillet::sdk::documents {

// hashing::hash2(signed_asset_id, external_price·2^32 + timestamp); the signer's key
// is not part of it.
hashing::HashWords oracle_price_hash(const SignedOraclePrice& price, poseidon::Squeezer* squeezer = nullptr);

}  // namespace quillet::sdk::documents
