// Signing a parsed transaction: the signature of its hash under a private
// key text. The hash is computed before the key is parsed, so a document
// that cannot be hashed is reported even when the key is also bad.
#pragma once

#include <string_view>

#include "sdk/src/documents/limit_order.hpp"
#include "sdk/src/documents/oracle_price.hpp"
#include "sdk/src/documents/transfer.hpp"
#include "sdk/src/documents/withdraw.hpp"
#include "sdk/src/error.hpp"
#include "sdk/src/keys/signature.hpp"

namespace quillet::sdk::documents {

// A rejected key text fails hard.
keys::JubjubSignature sign_transfer(const Transfer& transfer, std::string_view private_key);

// A rejected key text fails hard.
keys::JubjubSignature sign_withdraw(const WithdrawRequest& withdrawal, std::string_view private_key);

// A rejected key text is returned; a negative asset_id_synthetic fails hard.
Result<keys::JubjubSignature> sign_limit_order(const LimitOrderRequest& order,
                                             std::string_view private_key);

// A rejected key text is returned.
Result<keys::JubjubSignature> sign_signed_oracle_price(const SignedOraclePrice& price,
                                                     std::string_view private_key);

}  // namespace quillet::sdk::documents
