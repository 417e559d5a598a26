// Schnorr signatures over the prime-order subgroup of the curve, with the
// signing base as generator G (signing_base(), params.hpp, multiplied through
// its table). The challenge is the message itself (message.hpp); nothing
// binds R or the public key into it. The nonce is derived deterministically
// from the key and the message (nonce.hpp), so equal inputs give equal
// signatures.
//
// Defined by job: single signing in eddsa_sign.cpp, verification in
// eddsa_verify.cpp; batch signing's steps are in batch_sign.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "crypto/jubjub/fs.hpp"
#include "crypto/jubjub/checked_key.hpp"
#include "crypto/jubjub/message.hpp"
#include "crypto/jubjub/nonce.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/jubjub/point.hpp"

namespace quillet::jubjub {

// The pair (R, S). R is in extended coordinates: as the scalar multiplication
// left it from sign_raw_message, normalised from sign_and_check and batch
// signing.
struct RawSignature {
  Point<Unknown> r;
  Fs s;

  bool operator==(const RawSignature&) const = default;
};

struct PublicKey;
struct CheckedSignature;

class PrivateKey {
 public:
  explicit PrivateKey(const Fs& sk) : sk_(sk) {}
  PrivateKey(const PrivateKey&) = default;
  PrivateKey& operator=(const PrivateKey&) = default;
  ~PrivateKey();

  // (R, S) = (G·r, c·sk + r) with c the message zero-padded to 32 bytes,
  // read little-endian, reduced modulo s. `nonce` must come from
  // deterministic_nonce over the same key and message. G·r and c·sk + r take
  // time independent of r and sk. Fails hard if msg is longer than
  // kMaxMessageSize.
  RawSignature sign_raw_message(std::span<const uint8_t> msg, const Nonce& nonce) const;

  // Whether sign_and_check also derives the signer's public key.
  enum class SignerKey { omit, derive };

  // sign_raw_message together with the check that the signature verifies
  // under the signer's public key, and that key itself when asked for, as
  // signing callers need them. Constant time in sk and the nonce.
  CheckedSignature sign_and_check(std::span<const uint8_t> msg, const Nonce& nonce,
                                  SignerKey signer_key = SignerKey::omit) const;

  using Message = jubjub::Message;

  const Fs& value() const { return sk_; }

 private:
  Fs sk_;
};

struct PublicKey {
  Point<Unknown> point;

  // sk·G, in time independent of sk.
  static PublicKey derive(const PrivateKey& sk);

  // Whether S·G = R + c·A holds with A this key and both A and R in the
  // prime-order subgroup; c is the message cut or zero-padded to 32 bytes,
  // read little-endian, reduced modulo s. Never fails: every defect is false.
  // Variable time (public inputs).
  bool verify_for_raw_message(std::span<const uint8_t> msg, const RawSignature& sig) const;
};

// PublicKey{key.point}.verify_for_raw_message(msg, sig), the key's subgroup
// check and multiples taken from `key`.
bool verify_checked_key(const CheckedKey& key, std::span<const uint8_t> msg, const RawSignature& sig);

// verify_checked_key(check_key_vartime(decoded), msg, sig), with the key it
// checked, for the caller to keep. The subgroup check's exponentiation, a
// chain of dependent products, runs interleaved with the verification's
// multiplication (its verdict is needed only at the end), in the cycles the
// multiplication leaves idle.
struct NewKeyVerdict {
  bool verifies;
  CheckedKey key;
};
NewKeyVerdict verify_new_key_vartime(const Point<Unknown>& decoded, std::span<const uint8_t> msg,
                                     const RawSignature& sig);

// Whether S·G - c·A encodes to `r_encoding`, for a key in the subgroup whose
// quarter tables are made (else false). When true, R = `r_encoding` decodes
// (to that point) and verify_checked_key(key, msg, {R, s}) is true; when
// false, nothing is known. About half the work of verify_checked_key, and no
// square root for R.
bool recomputed_r_matches_vartime(const CheckedKey& key, std::span<const uint8_t> msg, const Fs& s,
                                  const PointEncoding& r_encoding);

// A fresh signature, R normalised (Z = 1), with the signer's public key when
// it was asked for (normalised by the same inversion).
struct CheckedSignature {
  std::optional<PublicKey> public_key;
  RawSignature signature;
  // Whether S·G = R + c·A holds for the signer's key A = sk·G. The subgroup
  // checks of verify_for_raw_message are left out: both points are
  // multiples of a fixed base, so they could not fail.
  bool verifies;
};

}  // namespace quillet::jubjub
