#pragma once

#include "sdk/src/documents/transfer.hpp"
#include "sdk/src/hashing/message_hash.hpp"

namespace quillet::sdk::documents {

// The Poseidon hash of a transfer over asset_id, zero and two packed values:
//   sender·2^160 + receiver·2^96 + sender·2^32 + nonce (a wide nonce carries),
//   4·2^241 + amount·2^177 + expiration_timestamp·2^81.
// Receiver and owner public keys are not part of it.
hashing::HashWords transfer_hash_internal(const Transfer& transfer, poseidon::Squeezer* squeezer = nullptr);

}  // namespace quillet::sdk::documents
