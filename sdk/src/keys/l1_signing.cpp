#include "sdk/src/keys/l1_signing.hpp"

#include <array>
#include <cstdint>

#include "crypto/secrets/wipe.hpp"
#include "sdk/src/keys/key_text.hpp"
#include "sdk/src/keys/message_signing.hpp"
#include "sdk/src/keys/public_key.hpp"

namespace quillet::sdk::keys {

Result<L1Signature> l1_sign(std::string_view msg, std::string_view private_key) {
  auto sk = private_key_from_string(private_key);
  if (!sk) return unexpected(std::move(sk).error());
  const secrets::WipeOnExit<jubjub::Fs> wipe_sk(*sk);
  return l1_sign(msg, *sk);
}

Result<L1Signature> l1_sign(std::string_view msg, const jubjub::Fs& sk) {
  const auto m = U256::from_str(trim_hex_prefix(msg));
  if (!m) return unexpected(Error(m.error().to_string()));
  const std::array<uint8_t, 32> bytes = m->to_little_endian();
  // The signer's point comes with the signature, from the shared parameter
  // set, instead of a second derivation.
  const SignedMessage signed_msg = SignedMessage::sign(sk, bytes);

  // Both points come normalised from signing.
  const auto [ax, ay] = signed_msg.public_key.point.to_affine_vartime();
  const auto [rx, ry] = signed_msg.signature.signature.r.to_affine_vartime();
  return L1Signature{
      "0x" + FeConvert::to_hex(rx),
      "0x" + FeConvert::to_hex(ry),
      "0x" + FeConvert::to_hex(signed_msg.signature.signature.s),
      signed_msg.signature.public_key.to_hex(),
      "0x" + FeConvert::to_hex(ax),
  };
}

}  // namespace quillet::sdk::keys
