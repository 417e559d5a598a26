#include "sdk/src/documents/signing.hpp"

#include "crypto/failure.hpp"
#include "crypto/secrets/wipe.hpp"
#include "sdk/src/documents/limit_order_hash.hpp"
#include "sdk/src/documents/oracle_price_hash.hpp"
#include "sdk/src/documents/transfer_hash.hpp"
#include "sdk/src/documents/withdraw_hash.hpp"
#include "sdk/src/hashing/message_hash.hpp"
#include "sdk/src/keys/key_text.hpp"
#include "sdk/src/keys/message_signing.hpp"
#include "sdk/src/keys/public_key.hpp"

namespace quillet::sdk::documents {
namespace {

// The signature of the hash's 32 little-endian bytes under the key text.
Result<keys::JubjubSignature> sign_hash(const hashing::HashWords& hash, std::string_view private_key) {
  auto sk = keys::private_key_from_string(private_key);
  if (!sk) return unexpected(std::move(sk).error());
  const secrets::WipeOnExit<jubjub::Fs> wipe_sk(*sk);
  const std::array<uint8_t, 32> message = hashing::hash_message(hash);
  return keys::sign_raw_msg(*sk, message);
}

keys::JubjubSignature unwrap(Result<keys::JubjubSignature> signed_hash) {
  if (!signed_hash) fail_hard(std::string(kUnwrapErr) + signed_hash.error().to_string());
  return std::move(*signed_hash);
}

}  // namespace

keys::JubjubSignature sign_transfer(const Transfer& t, std::string_view private_key) {
  return unwrap(sign_hash(transfer_hash_internal(t), private_key));
}

keys::JubjubSignature sign_withdraw(const WithdrawRequest& w, std::string_view private_key) {
  return unwrap(
      sign_hash(withdrawal_hash(WithdrawalHashInput::from(w), w.asset_id), private_key));
}

Result<keys::JubjubSignature> sign_limit_order(const LimitOrderRequest& order,
                                             std::string_view private_key) {
  return sign_hash(limit_order_hash_internal(LimitOrderHashInput::from(order)), private_key);
}

Result<keys::JubjubSignature> sign_signed_oracle_price(const SignedOraclePrice& price,
                                                     std::string_view private_key) {
  return sign_hash(oracle_price_hash(price), private_key);
}

}  // namespace quillet::sdk::documents
