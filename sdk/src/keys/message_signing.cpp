#include "sdk/src/keys/message_signing.hpp"

#include <array>
#include <optional>

#include "crypto/failure.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/secrets/wipe.hpp"
#include "sdk/src/keys/key_text.hpp"
#include "sdk/src/keys/remembered_keys.hpp"

namespace quillet::sdk::keys {

namespace {

// The signature with its self-check, and the signer's point when asked for.
jubjub::CheckedSignature sign_checked(const jubjub::Fs& sk, std::span<const uint8_t> msg,
                                      jubjub::PrivateKey::SignerKey signer_key) {
  const jubjub::PrivateKey key(sk);
  const jubjub::Nonce r = jubjub::deterministic_nonce(key, msg);
  const jubjub::CheckedSignature checked = key.sign_and_check(msg, r, signer_key);
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

Result<JubjubSignature> sign(std::string_view private_key, std::string_view msg) {
  // The message is looked at first: its error comes before the key's.
  if (const auto m = U256::from_str(msg); !m) return unexpected(Error(m.error().to_string()));
  auto sk = private_key_from_string(private_key);
  if (!sk) return unexpected(std::move(sk).error());
  const secrets::WipeOnExit<jubjub::Fs> wipe_sk(*sk);
  return sign(*sk, msg);
}

Result<JubjubSignature> sign(const jubjub::Fs& sk, std::string_view msg) {
  const auto m = U256::from_str(msg);
  if (!m) return unexpected(Error(m.error().to_string()));
  const std::array<uint8_t, 32> bytes = m->to_little_endian();
  return sign_raw_msg(sk, bytes);
}

Result<bool> verify_signature(std::string_view sig_r, std::string_view sig_s, std::string_view pub_key_x,
                              std::string_view pub_key_y, std::string_view msg) {
  // The steps, in order: the signature texts, R decoded, s checked (each a
  // hard failure), the message, the packed key text (each a returned error),
  // the key decoded (a hard failure) and converted. All of them are pure, so
  // the key is parsed early and, when it is to be decoded, decoded together
  // with R (one pair of interleaved square roots); each outcome is then
  // reported at its own step.
  const U256 r = parse_signature_text(sig_r);
  const U256 s = parse_signature_text(sig_s);
  const auto m = U256::from_str(msg);
  // Only the single "0x" the parser itself drops: no trimming here.
  const auto v = U256::from_str_radix(pub_key_x, 16);
  const bool decode_key = m && v && !small_value_rule_applies(*v);

  using Point = jubjub::Point<jubjub::Unknown>;
  using Decoded = Expected<Point, jubjub::ReadError>;
  const jubjub::AltJubjubBn256& params = jubjub::jubjub_params();
  const std::array<uint8_t, 32> r_bytes = r.to_little_endian();
  const std::array<uint8_t, 32> key_bytes = decode_key ? v->to_little_endian() : std::array<uint8_t, 32>{};
  // A key met recently comes decoded and checked (only R is decoded then).
  const std::optional<jubjub::CheckedKey> known = decode_key ? remembered_keys().recall(key_bytes) : std::nullopt;
  if (known) {
    // Under a key met often (it has its quarter tables then), R = S·G - c·A
    // is recomputed and compared with R's text: equal, every step before
    // passes and the answer is true; otherwise the steps run as usual.
    const auto s_value = jubjub::Fs::from_repr(s.words);
    if (s_value && jubjub::recomputed_r_matches_vartime(*known, m->to_little_endian(), *s_value, r_bytes)) {
      return true;
    }
  }
  // A new key comes decoded with the help of pub_key_y when that is its
  // point's x (callers pass the pair as they got it); then only R needs a
  // square root.
  const std::optional<Point> hinted =
      decode_key && !known ? decode_with_pair_y(key_bytes, pub_key_y) : std::nullopt;
  const std::array<Decoded, 2> decoded =
      decode_key && !known && !hinted
          ? Point::read_pair(r_bytes, key_bytes, params)
          : std::array<Decoded, 2>{Point::read(r_bytes, params), hinted ? *hinted : Point::zero()};
  if (!decoded[0]) fail_restore_r_point(decoded[0].error());
  const jubjub::RawSignature sig{*decoded[0], signature_scalar(s)};

  if (!m) return unexpected(Error(m.error().to_string()));
  if (!v) return unexpected(v.error().to_error());
  const std::array<uint8_t, 32> bytes = m->to_little_endian();
  if (decode_key) {
    if (!known) {
      if (!decoded[1]) fail_restore_r_point(decoded[1].error());
      // Decoded coordinates are canonical and on the curve: converting them
      // to integers and back through the curve check would give the same
      // point.
      const jubjub::NewKeyVerdict verdict = jubjub::verify_new_key_vartime(*decoded[1], bytes, sig);
      remembered_keys().remember(key_bytes, verdict.key);
      return verdict.verifies;
    }
    return jubjub::verify_checked_key(*known, bytes, sig);
  }
  // The small-value rule: the pair (0, v).
  auto converted = convert_to_pubkey(U256{}, *v);
  if (!converted) return unexpected(std::move(converted).error());
  return converted->verify_for_raw_message(bytes, sig);
}

}  // namespace quillet::sdk::keys
