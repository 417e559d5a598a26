#include "sdk/src/tx/sign.hpp"

#include <array>

#include "crypto/failure.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/jubjub/secret.hpp"
#include "sdk/src/tx/convert.hpp"

namespace quillet::sdk::tx {

namespace {

// The signature with its self-check, and the signer's point when asked for.
jubjub::CheckedSignature sign_checked(const jubjub::Fs& sk, std::span<const uint8_t> msg,
                                      jubjub::PrivateKey::SignerKey signer_key) {
  const jubjub::PrivateKey key(sk);
  const jubjub::Seed r = jubjub::Seed::deterministic_seed(key, msg);
  const jubjub::CheckedSignature checked =
      key.sign_and_check(msg, r, jubjub::kSigningBase, jubjub::jubjub_params(), msg.size(), signer_key);
  if (!checked.verifies) fail_hard(kSelfCheckFailed);
  return checked;
}

}  // namespace

jubjub::RawSignature sign_raw_msg(const jubjub::Fs& sk, std::span<const uint8_t> msg) {
  return sign_checked(sk, msg, jubjub::PrivateKey::SignerKey::omit).signature;
}

SignedMessage SignedMessage::sign(const jubjub::Fs& sk, std::span<const uint8_t> msg) {
  // One derivation of the signer's point serves the packed key and callers
  // that need the point; R and the point come normalised together.
  const jubjub::CheckedSignature checked = sign_checked(sk, msg, jubjub::PrivateKey::SignerKey::derive);
  return SignedMessage{TxSignature{pack_public_key(*checked.public_key), checked.signature}, *checked.public_key};
}

TxSignature TxSignature::sign_msg(const jubjub::Fs& sk, std::span<const uint8_t> msg) {
  return SignedMessage::sign(sk, msg).signature;
}

JubjubSignature to_jubjub_signature(const jubjub::RawSignature& sig) {
  const auto [x, y] = sig.r.to_affine_vartime();
  return JubjubSignature{BabyJubjubPoint{fr_to_u256(x), fr_to_u256(y)}, U256{sig.s.into_repr()}};
}

JubjubSignature to_jubjub_signature(const TxSignature& sig) { return to_jubjub_signature(sig.signature); }

Result<JubjubSignature> sign(std::string_view private_key, std::string_view msg) {
  const auto m = U256::from_str(msg);
  if (!m) return unexpected(Error(m.error().to_string()));
  auto sk = private_key_from_string(private_key);
  if (!sk) return unexpected(std::move(sk).error());
  const jubjub::WipeOnExit<jubjub::Fs> wipe_sk(*sk);
  const std::array<uint8_t, 32> bytes = m->to_little_endian();
  return to_jubjub_signature(sign_raw_msg(*sk, bytes));
}

Result<bool> verify_signature(std::string_view sig_r, std::string_view sig_s, std::string_view pub_key_x,
                              std::string_view /*pub_key_y*/, std::string_view msg) {
  const PackedSignature q = PackedSignature::from_str(sig_r, sig_s);
  const auto m = U256::from_str(msg);
  if (!m) return unexpected(Error(m.error().to_string()));
  // Only the single "0x" the parser itself drops: no trimming here.
  const auto v = U256::from_str_radix(pub_key_x, 16);
  if (!v) return unexpected(Error(v.error().to_string()));
  auto key = public_key_from_packed(PackedPublicKey{*v});
  if (!key) return unexpected(std::move(key).error());
  const std::array<uint8_t, 32> bytes = m->to_little_endian();
  return key->verify_for_raw_message(bytes, q.raw, jubjub::kSigningBase, jubjub::jubjub_params(),
                                     jubjub::kMaxMessageSize);
}

}  // namespace quillet::sdk::tx
