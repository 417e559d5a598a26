#include "sdk/src/lib.hpp"

#include "crypto/secrets/wipe.hpp"
#include "sdk/src/documents/document_hash.hpp"
#include "sdk/src/hashing/message_hash.hpp"
#include "sdk/src/json/writer.hpp"
#include "sdk/src/keys/key_text.hpp"
#include "sdk/src/keys/l1_signing.hpp"
#include "sdk/src/keys/message_signing.hpp"
#include "sdk/src/keys/public_key.hpp"
#include "sdk/src/keys/seed.hpp"
#include "sdk/src/keys/signature.hpp"

namespace quillet::sdk {
namespace {

using documents::document_hash;

Result<std::string> hash_text_of(const Result<hashing::HashWords>& hash) {
  if (!hash) return unexpected(hash.error());
  return hashing::hash_text(*hash);
}

// The document's hash signed under the key text. The hash comes first, so a
// document that cannot be hashed is reported even when the key is bad too.
Result<keys::JubjubSignature> sign_document(DocumentKind kind, std::string_view json, std::string_view pri_key) {
  const auto hash = document_hash(kind, json);
  if (!hash) return unexpected(hash.error());
  auto sk = keys::private_key_from_string(pri_key);
  if (!sk) return unexpected(documents::rejected_key(kind, std::move(sk).error()));
  const secrets::WipeOnExit<jubjub::Fs> wipe_sk(*sk);
  return keys::sign_raw_msg(*sk, hashing::hash_message(*hash));
}

}  // namespace

Result<keys::JubjubSignature> sign_document(DocumentKind kind, std::string_view json, const jubjub::Fs& sk) {
  const auto hash = document_hash(kind, json);
  if (!hash) return unexpected(hash.error());
  return keys::sign_raw_msg(sk, hashing::hash_message(*hash));
}

Result<std::string> private_key_from_seed(std::span<const uint8_t> seed) {
  return keys::private_key_from_seed(seed);
}

Result<std::string> hash_transfer(std::string_view json) {
  return hash_text_of(document_hash(DocumentKind::transfer, json));
}

Result<std::string> hash_withdraw(std::string_view json) {
  return hash_text_of(document_hash(DocumentKind::withdraw, json));
}

Result<std::string> hash_limit_order(std::string_view json) {
  return hash_text_of(document_hash(DocumentKind::limit_order, json));
}

Result<std::string> hash_liquidate(std::string_view json) {
  return hash_text_of(document_hash(DocumentKind::liquidate, json));
}

Result<std::string> hash_signed_oracle_price(std::string_view json) {
  return hash_text_of(document_hash(DocumentKind::signed_oracle_price, json));
}

Result<keys::JubjubSignature> sign_transfer(std::string_view json, std::string_view pri_key) {
  return sign_document(DocumentKind::transfer, json, pri_key);
}

Result<keys::JubjubSignature> sign_withdraw(std::string_view json, std::string_view pri_key) {
  return sign_document(DocumentKind::withdraw, json, pri_key);
}

Result<keys::JubjubSignature> sign_limit_order(std::string_view json, std::string_view pri_key) {
  return sign_document(DocumentKind::limit_order, json, pri_key);
}

Result<keys::JubjubSignature> sign_liquidate(std::string_view json, std::string_view pri_key) {
  return sign_document(DocumentKind::liquidate, json, pri_key);
}

Result<keys::JubjubSignature> sign_signed_oracle_price(std::string_view json,
                                                     std::string_view pri_key) {
  return sign_document(DocumentKind::signed_oracle_price, json, pri_key);
}

Result<keys::JubjubSignature> sign(std::string_view private_key, std::string_view msg) {
  return keys::sign(private_key, msg);
}

Result<keys::JubjubSignature> sign(const jubjub::Fs& sk, std::string_view msg) { return keys::sign(sk, msg); }

Result<bool> verify_signature(std::string_view sig_r, std::string_view sig_s, std::string_view pub_key_x,
                              std::string_view pub_key_y, std::string_view msg) {
  return keys::verify_signature(sig_r, sig_s, pub_key_x, pub_key_y, msg);
}

Result<keys::L1Signature> l1_sign(std::string_view msg, std::string_view private_key) {
  return keys::l1_sign(msg, private_key);
}

Result<keys::L1Signature> l1_sign(std::string_view msg, const jubjub::Fs& sk) { return keys::l1_sign(msg, sk); }

Result<bool> is_on_curve(std::string_view x, std::string_view y) { return keys::is_on_curve(x, y); }

Result<std::pair<std::string, std::string>> pub_key_to_xy(std::string_view public_key) {
  return keys::pub_key_to_xy(public_key);
}

Result<std::pair<std::string, std::string>> private_key_to_pubkey_xy(std::string_view private_key) {
  return keys::private_key_to_pubkey_xy(private_key);
}

std::pair<std::string, std::string> private_key_to_pubkey_xy(const jubjub::Fs& sk) {
  return keys::private_key_to_pubkey_xy(sk);
}

// The results handed back as JSON text, all written here.

std::string to_json(const keys::JubjubSignature& sig) {
  // R is encoded as signing left it, normalised: no inversion, no check.
  const U256 r = U256::from_little_endian(sig.r.encode_vartime());
  const U256 s{sig.s.into_repr()};
  return json::string_object({{"r", r.to_hex_0x64()}, {"s", s.to_hex_0x64()}});
}

std::array<hashing::HashChars, 2> signature_chars(const keys::JubjubSignature& sig) {
  // Any four words are written as a hash is: "0x" and 64 lower-case digits.
  return {hashing::hash_chars(U256::from_little_endian(sig.r.encode_vartime()).words),
          hashing::hash_chars(sig.s.into_repr())};
}

std::string to_json(const keys::L1Signature& sig) {
  return json::string_object({{"x", sig.x}, {"y", sig.y}, {"s", sig.s}, {"pk_x", sig.pk_x}, {"pk_y", sig.pk_y}});
}

std::string to_json(const std::pair<std::string, std::string>& public_key_xy) {
  return json::string_object({{"x", public_key_xy.first}, {"y", public_key_xy.second}});
}

}  // namespace quillet::sdk
