// Single signing: (R, S) for one message, with its self-check, and the
// signer's public key.
#include <array>
#include <optional>
#include <span>

#include "crypto/jubjub/eddsa.hpp"
#include "crypto/secrets/declassify.hpp"
#include "crypto/secrets/wipe.hpp"

namespace quillet::jubjub {

using detail::check_message_size;
using detail::nonce_of;
using detail::signature_scalar;
using secrets::declassify;
using secrets::wipe;
using secrets::wipe_value;

PrivateKey::~PrivateKey() { wipe(&sk_, sizeof sk_); }

RawSignature PrivateKey::sign_raw_message(std::span<const uint8_t> msg, const Nonce& nonce) const {
  check_message_size(msg);
  // sk·G lies in the prime-order subgroup by construction (G does), so no
  // order check of the signer's key is made here.
  const Point<PrimeOrder> r = signing_table().mul_lanes(nonce.value());
  return RawSignature{r, signature_scalar(msg, sk_, nonce.value())};
}

CheckedSignature PrivateKey::sign_and_check(std::span<const uint8_t> msg, const Nonce& nonce,
                                            SignerKey signer_key) const {
  const FixedBaseTable& table = signing_table();
  const bool with_key = signer_key == SignerKey::derive;
  RawSignature sig{Point<Unknown>::zero(), Fs::zero()};
  std::array<Point<Unknown>, 2> points{Point<Unknown>::zero(), Point<Unknown>::zero()};
  if (with_key) {
    // R = r·G and A = sk·G are independent: one pass of the lanes for both.
    check_message_size(msg);
    const std::array<Point<PrimeOrder>, 2> ra = table.mul_pair(nonce.value(), sk_);
    sig.r = ra[0];
    points[1] = ra[1];
    sig.s = signature_scalar(msg, sk_, nonce.value());
  } else {
    sig = sign_raw_message(msg, nonce);
  }
  points[0] = sig.r;
  // With A = sk·G, the verification equation S·G = R + c·A is
  // (S - c·sk)·G = R: one more constant-time multiplication by the table
  // checks S against R, where a verifier's c·A would cost a variable-base
  // one. When A is derived as well, (S - c·sk + sk)·G = R + A checks it in
  // the same multiplication. The scalar is the nonce (plus the key), so it is
  // handled as a secret.
  Fs check_scalar = nonce_of(msg, sig.s, sk_);
  if (with_key) check_scalar.add_assign(sk_);
  const Point<PrimeOrder> check_point = table.mul_lanes(check_scalar);
  wipe_value(check_scalar);
  bool verifies = with_key ? check_point == points[0].add(points[1], jubjub_params()) : check_point == sig.r;
  declassify(&verifies, sizeof verifies);

  // Normalised in constant time, R (and A) may be handled as public.
  Point<Unknown>::normalize_batch(std::span(points).first(with_key ? 2 : 1));
  declassify(points.data(), sizeof points);
  declassify(&sig.s, sizeof sig.s);
  CheckedSignature out{std::nullopt, RawSignature{points[0], sig.s}, verifies};
  if (with_key) out.public_key = PublicKey{points[1]};
  return out;
}

PublicKey PublicKey::derive(const PrivateKey& sk) {
  return PublicKey{signing_table().mul_lanes(sk.value())};
}

}  // namespace quillet::jubjub
