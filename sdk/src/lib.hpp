// Entry points of the core library quillet_sdk: one per Python function.
//
// Each returns its value or a general Error (the returned channel); lower
// layers may instead abandon the call with HardFailure (crypto/failure.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "crypto/jubjub/fs.hpp"
#include "sdk/src/documents/document_hash.hpp"
#include "sdk/src/error.hpp"
#include "sdk/src/keys/l1_signing.hpp"
#include "sdk/src/keys/signature.hpp"

namespace quillet::sdk {

// The private key text derived from the seed's bytes.
Result<std::string> private_key_from_seed(std::span<const uint8_t> seed);

// Transaction hashes: the hash text ("0x" and 64 lower-case digits) of a
// JSON document. hash_transfer fails hard on a document that does not parse;
// the others return its error. A negative asset_id_synthetic fails hard.
Result<std::string> hash_transfer(std::string_view json);
Result<std::string> hash_withdraw(std::string_view json);
Result<std::string> hash_limit_order(std::string_view json);
Result<std::string> hash_liquidate(std::string_view json);
Result<std::string> hash_signed_oracle_price(std::string_view json);

// Transaction signatures: the signature of the hash of a JSON document under
// a private key text. A document that does not parse fails hard for
// sign_transfer and is returned by the others; a rejected key fails hard for
// sign_transfer and sign_withdraw and is returned by the others; a negative
// asset_id_synthetic fails hard.
Result<keys::JubjubSignature> sign_transfer(std::string_view json, std::string_view pri_key);
Result<keys::JubjubSignature> sign_withdraw(std::string_view json, std::string_view pri_key);
Result<keys::JubjubSignature> sign_limit_order(std::string_view json, std::string_view pri_key);
Result<keys::JubjubSignature> sign_liquidate(std::string_view json, std::string_view pri_key);
Result<keys::JubjubSignature> sign_signed_oracle_price(std::string_view json,
                                                     std::string_view pri_key);

// The same under a private key already parsed (a key object's scalar): the
// signature and the document's errors of sign_<kind>, byte for byte; no key
// error, since the key was accepted when it was parsed.
Result<keys::JubjubSignature> sign_document(DocumentKind kind, std::string_view json, const jubjub::Fs& sk);

// The signature of the message integer `msg` under the private key text.
// Errors: the message's hexadecimal error text (looked at first), then the
// private key error unchanged. Never fails hard on text input.
Result<keys::JubjubSignature> sign(std::string_view private_key, std::string_view msg);
// The same under a parsed key: the message's error alone.
Result<keys::JubjubSignature> sign(const jubjub::Fs& sk, std::string_view msg);

// Whether (sig_r, sig_s) verifies for `msg` under the packed key `pub_key_x`
// (`pub_key_y` never changes the outcome). Malformed or out-of-range signature texts fail
// hard; message and key parse errors and an off-curve key are returned.
Result<bool> verify_signature(std::string_view sig_r, std::string_view sig_s, std::string_view pub_key_x,
                              std::string_view pub_key_y, std::string_view msg);

// The unpacked L1 signature; note the order: message first, key second.
Result<keys::L1Signature> l1_sign(std::string_view msg, std::string_view private_key);
// The same under a parsed key: the message's error alone.
Result<keys::L1Signature> l1_sign(std::string_view msg, const jubjub::Fs& sk);

// Whether (x, y) is exactly the public-key text pair of the packed key x.
// Returns the packed key's parse error; fails hard on an undecodable key.
Result<bool> is_on_curve(std::string_view x, std::string_view y);

// The public-key text pair (packed key, affine x) of a packed key text.
// Returns the parse error; fails hard on an undecodable key.
Result<std::pair<std::string, std::string>> pub_key_to_xy(std::string_view public_key);

// The public-key text pair of a private key text.
Result<std::pair<std::string, std::string>> private_key_to_pubkey_xy(std::string_view private_key);
// The same for a parsed key.
std::pair<std::string, std::string> private_key_to_pubkey_xy(const jubjub::Fs& sk);

// The JSON texts of the results, written in this one place; every value is
// "0x" and 64 lower-case digits unless said otherwise.
// {"r":"0x…","s":"0x…"}, 147 characters: r is R's encoding, s the scalar.
std::string to_json(const keys::JubjubSignature& sig);
// Its two values alone, r then s, as to_json writes them.
std::array<hashing::HashChars, 2> signature_chars(const keys::JubjubSignature& sig);
// {"x":…,"y":…,"s":…,"pk_x":…,"pk_y":…}, 372 characters.
std::string to_json(const keys::L1Signature& sig);
// {"x":…,"y":…}: the public-key text pair (x as pub_key_to_xy gives it).
std::string to_json(const std::pair<std::string, std::string>& public_key_xy);

}  // namespace quillet::sdk
