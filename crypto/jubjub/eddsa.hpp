// Schnorr signatures over the prime-order subgroup of the curve, with the
// signing base as generator G (signing_base(), params.hpp, multiplied through
// its table). The challenge is the message itself (message.hpp); nothing
// binds R or the public key into it. The nonce is derived deterministically
// from the key and the message (nonce.hpp), so equal inputs give equal
// signatures.
//
// Defined by job: single signing in eddsa_sign.cpp, batch signing and its
// combined self-check in eddsa_sign_many.cpp, verification in
// eddsa_verify.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "crypto/jubjub/fs.hpp"
#include "crypto/jubjub/checked_key.hpp"
#include "crypto/jubjub/message.hpp"
#include "crypto/jubjub/nonce.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/jubjub/point.hpp"
#include "crypto/spread/spread.hpp"

namespace quillet::jubjub {

// The pair (R, S). R is in extended coordinates: as the scalar multiplication
// left it from sign_raw_message, normalised from sign_and_check.
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

  // sign_and_check (signer's key omitted) of each message with the nonce
  // deterministic_nonce gives it: the same signatures and verdicts. The R are
  // made by FixedBaseTable::mul_many on `kernel` (eight at a time in lanes),
  // normalised by one inversion per range of items and checked by
  // check_own_signatures. Its stages (the nonces, the R and S of ranges of
  // whole lane groups, the check's pieces) run on `spread`; the outcome does
  // not depend on it. Constant time in sk and the nonces.
  std::vector<CheckedSignature> sign_and_check_many(std::span<const Message> msgs,
                                                    cpu::LaneKernel kernel = fixed_base_kernel(),
                                                    const Spread& spread = serial_spread()) const;

  // For each signature (R normalised, S) of msgs[i], whether
  // (S - c·sk)·G = R, the verdict of sign_and_check. Each R must be a
  // multiple of G, as signing makes it (torsion in R could vanish in the
  // combination). All together first: with random 128-bit weights z_i,
  // (sum of z_i·(S_i - c_i·sk))·G in constant time against the sum of
  // z_i·R_i; a wrong signature passes with probability at most 2^-128 (its
  // term is a point of order s, cancelled by one z_i modulo s at most). If
  // the sums differ, or the generator fails, each signature is checked on
  // its own, exactly. Constant time in sk; R and S are public. Fails hard on
  // mismatched lengths. The sums, the windows of the public multiplication
  // and the secret one run as pieces on `spread`.
  std::vector<bool> check_own_signatures(std::span<const Message> msgs, std::span<const RawSignature> sigs,
                                         const Spread& spread = serial_spread()) const;

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
