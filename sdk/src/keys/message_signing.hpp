// Signing 32-byte messages, and the sign and verify operations over message
// and key texts.
//
// The message is a 256-bit integer signed as its 32 little-endian bytes; the
// signature scheme takes those bytes, reduced modulo the subgroup order, as
// its challenge.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/fs.hpp"
#include "sdk/src/error.hpp"
#include "sdk/src/keys/public_key.hpp"
#include "sdk/src/keys/signature.hpp"

namespace quillet::sdk::keys {

// The hard failure of a signature that does not verify under its signer's
// key, which cannot happen for a signature just made.
inline constexpr const char* kSelfCheckFailed =
    "assertion failed: the new signature verifies under the signer's public key";

// A signature with its signer's packed public key.
struct TxSignature {
  PackedPublicKey public_key;
  jubjub::RawSignature signature;

  // The deterministic signature of `msg` (at most 32 bytes; every caller
  // passes 32) under `sk` with the signing base, checked to verify under the
  // signer's key before it is returned. Fails hard only on a message longer
  // than 32 bytes or a failed self-check, which cannot happen. The entry
  // points sign through sign_raw_msg, which skips the key's derivation when
  // they drop it, and SignedMessage; this is the whole operation, which the
  // tests and the constant-time check (ctime/) hold the two against.
  static TxSignature sign_msg(const jubjub::Fs& sk, std::span<const uint8_t> msg);
};

// A signature together with the signer's public key point, for callers that
// need the point as well; the signature is that of TxSignature::sign_msg.
struct SignedMessage {
  TxSignature signature;
  jubjub::PublicKey public_key;

  static SignedMessage sign(const jubjub::Fs& sk, std::span<const uint8_t> msg);
};

// The signature of TxSignature::sign_msg without the signer's packed key, for
// callers that drop it: the key's derivation is skipped. R comes normalised.
// (Batches: sdk::sign_many and sign_messages, sdk/src/batch/many.hpp.)
jubjub::RawSignature sign_raw_msg(const jubjub::Fs& sk, std::span<const uint8_t> msg);

// The signature of the message integer `msg` (at most one leading "0x", up to
// 64 hexadecimal digits) under the private key text. The message is parsed
// first; its error is the hexadecimal error's text, the key's error that of
// private_key_from_string.
Result<JubjubSignature> sign(std::string_view private_key, std::string_view msg);

// The same under a key already parsed: the message's error alone.
Result<JubjubSignature> sign(const jubjub::Fs& sk, std::string_view msg);

// Whether the signature texts verify for the message integer under the packed
// key `pub_key_x`; `pub_key_y` never changes the outcome (when it is the
// key's x, it spares a square root). Malformed signature texts or
// values out of range fail hard before anything else is looked at; then the
// message, the packed key and the key's point are checked, in that order, and
// their errors returned. A well-formed wrong signature gives false.
Result<bool> verify_signature(std::string_view sig_r, std::string_view sig_s, std::string_view pub_key_x,
                              std::string_view pub_key_y, std::string_view msg);

}  // namespace quillet::sdk::keys
