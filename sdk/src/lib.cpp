#include "sdk/src/lib.hpp"

#include "sdk/src/documents/limit_order_hash.hpp"
#include "sdk/src/documents/liquidate.hpp"
#include "sdk/src/documents/oracle_price_hash.hpp"
#include "sdk/src/documents/signing.hpp"
#include "sdk/src/documents/transfer_hash.hpp"
#include "sdk/src/documents/withdraw_hash.hpp"
#include "sdk/src/hashing/message_hash.hpp"
#include "sdk/src/json/json_error.hpp"
#include "sdk/src/json/writer.hpp"
#include "sdk/src/keys/l1_signing.hpp"
#include "sdk/src/keys/message_signing.hpp"
#include "sdk/src/keys/public_key.hpp"
#include "sdk/src/keys/seed.hpp"
#include "sdk/src/keys/signature.hpp"

namespace quillet::sdk {
namespace {

// The document, or a hard failure showing the parse error's debug form.
template <class Document>
Document unwrap_document(Expected<Document, JsonError> parsed) {
  if (!parsed) fail_hard(std::string(kUnwrapErr) + parsed.error().debug());
  return std::move(*parsed);
}

Error parse_error(const JsonError& e) { return Error(e.to_string()); }

}  // namespace

Result<std::string> private_key_from_seed(std::span<const uint8_t> seed) {
  return keys::private_key_from_seed(seed);
}

Result<std::string> hash_transfer(std::string_view json) {
  const auto transfer = unwrap_document(documents::parse_transfer(json));
  return hashing::hash_text(documents::transfer_hash_internal(transfer));
}

Result<std::string> hash_withdraw(std::string_view json) {
  const auto withdrawal = documents::parse_withdraw_request(json);
  if (!withdrawal) return unexpected(parse_error(withdrawal.error()));
  return hashing::hash_text(documents::withdrawal_hash(
      documents::WithdrawalHashInput::from(*withdrawal), withdrawal->asset_id));
}

Result<std::string> hash_limit_order(std::string_view json) {
  const auto order = documents::parse_limit_order_request(json);
  if (!order) return unexpected(parse_error(order.error()));
  return hashing::hash_text(
      documents::limit_order_hash_internal(documents::LimitOrderHashInput::from(*order)));
}

Result<std::string> hash_liquidate(std::string_view json) {
  const auto liquidation = documents::parse_liquidate(json);
  if (!liquidation) return unexpected(parse_error(liquidation.error()));
  return hashing::hash_text(documents::limit_order_hash_internal(
      documents::LimitOrderHashInput::from(liquidation->liquidator_order)));
}

Result<std::string> hash_signed_oracle_price(std::string_view json) {
  const auto price = documents::parse_signed_oracle_price(json);
  if (!price) return unexpected(parse_error(price.error()));
  return hashing::hash_text(documents::oracle_price_hash(*price));
}

Result<keys::JubjubSignature> sign_transfer(std::string_view json, std::string_view pri_key) {
  return documents::sign_transfer(unwrap_document(documents::parse_transfer(json)), pri_key);
}

Result<keys::JubjubSignature> sign_withdraw(std::string_view json, std::string_view pri_key) {
  const auto withdrawal = documents::parse_withdraw_request(json);
  if (!withdrawal) return unexpected(parse_error(withdrawal.error()));
  return documents::sign_withdraw(*withdrawal, pri_key);
}

Result<keys::JubjubSignature> sign_limit_order(std::string_view json, std::string_view pri_key) {
  const auto order = documents::parse_limit_order_request(json);
  if (!order) return unexpected(parse_error(order.error()));
  return documents::sign_limit_order(*order, pri_key);
}

Result<keys::JubjubSignature> sign_liquidate(std::string_view json, std::string_view pri_key) {
  const auto liquidation = documents::parse_liquidate(json);
  if (!liquidation) return unexpected(parse_error(liquidation.error()));
  return documents::sign_limit_order(liquidation->liquidator_order, pri_key);
}

Result<keys::JubjubSignature> sign_signed_oracle_price(std::string_view json,
                                                     std::string_view pri_key) {
  const auto price = documents::parse_signed_oracle_price(json);
  if (!price) return unexpected(parse_error(price.error()));
  return documents::sign_signed_oracle_price(*price, pri_key);
}

Result<keys::JubjubSignature> sign(std::string_view private_key, std::string_view msg) {
  return keys::sign(private_key, msg);
}

Result<bool> verify_signature(std::string_view sig_r, std::string_view sig_s, std::string_view pub_key_x,
                              std::string_view pub_key_y, std::string_view msg) {
  return keys::verify_signature(sig_r, sig_s, pub_key_x, pub_key_y, msg);
}

Result<keys::L1Signature> l1_sign(std::string_view msg, std::string_view private_key) {
  return keys::l1_sign(msg, private_key);
}

Result<bool> is_on_curve(std::string_view x, std::string_view y) { return keys::is_on_curve(x, y); }

Result<std::pair<std::string, std::string>> pub_key_to_xy(std::string_view public_key) {
  return keys::pub_key_to_xy(public_key);
}

Result<std::pair<std::string, std::string>> private_key_to_pubkey_xy(std::string_view private_key) {
  return keys::private_key_to_pubkey_xy(private_key);
}

// The results handed back as JSON text, all written here.

std::string to_json(const keys::JubjubSignature& sig) {
  // R is encoded as signing left it, normalised: no inversion, no check.
  const U256 r = U256::from_little_endian(sig.r.encode_vartime());
  const U256 s{sig.s.into_repr()};
  return json::string_object({{"r", r.to_hex_0x64()}, {"s", s.to_hex_0x64()}});
}

std::string to_json(const keys::L1Signature& sig) {
  return json::string_object({{"x", sig.x}, {"y", sig.y}, {"s", sig.s}, {"pk_x", sig.pk_x}, {"pk_y", sig.pk_y}});
}

std::string to_json(const std::pair<std::string, std::string>& public_key_xy) {
  return json::string_object({{"x", public_key_xy.first}, {"y", public_key_xy.second}});
}

}  // namespace quillet::sdk
