#include "sdk/src/keys/public_key.hpp"

#include <string>

#include "crypto/failure.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/secrets/declassify.hpp"
#include "crypto/secrets/wipe.hpp"
#include "sdk/src/keys/key_text.hpp"

namespace quillet::sdk::keys {
namespace {

constexpr const char* kCouldNotDecode = "could not decode public key by x and y";

// True when the top 96 bits are zero, i.e. v < 2^160.
bool below_2_160(const U256& v) { return v.words[3] == 0 && (v.words[2] >> 32) == 0; }

}  // namespace

bool small_value_rule_applies(const U256& v) { return !v.is_zero() && below_2_160(v); }

void fail_restore_r_point(const jubjub::ReadError& error) {
  fail_hard(std::string(kUnwrapErr) + "RestoreRPoint(" + error.debug() + ")");
}

std::pair<field::Fr, field::Fr> get_xy_from_r(const U256& v) {
  const std::array<uint8_t, 32> bytes = v.to_little_endian();
  const auto point = jubjub::Point<jubjub::Unknown>::read(bytes, jubjub::jubjub_params());
  if (!point) fail_restore_r_point(point.error());
  return point->to_affine_vartime();
}

std::optional<jubjub::Point<jubjub::Unknown>> decode_with_pair_y(const std::array<uint8_t, 32>& v,
                                                                 std::string_view pair_y) {
  if (pair_y.empty()) return std::nullopt;  // the usual "no pair at hand": not worth an error
  const auto x = U256::from_str_radix(pair_y, 16);
  if (!x) return std::nullopt;
  const auto fx = u256_to_fr(*x);
  if (!fx) return std::nullopt;
  return jubjub::Point<jubjub::Unknown>::read_with_x(v, *fx, jubjub::jubjub_params());
}

BabyJubjubPoint BabyJubjubPoint::from_packed(const PackedPublicKey& key) {
  if (small_value_rule_applies(key.value)) return BabyJubjubPoint{U256{}, key.value};
  const auto [x, y] = get_xy_from_r(key.value);
  return BabyJubjubPoint{fr_to_u256(x), fr_to_u256(y)};
}

PackedPublicKey pack_public_key(const jubjub::PublicKey& key) {
  const jubjub::PointEncoding bytes = key.point.encode_vartime();
  return PackedPublicKey{le_to_u256(bytes)};
}

namespace {

// sk·G, normalised in constant time so that it can be handled as public.
jubjub::PublicKey derive_normalized(const jubjub::Fs& sk) {
  const jubjub::PrivateKey key(sk);
  jubjub::PublicKey public_key = jubjub::PublicKey::derive(key);
  jubjub::Point<jubjub::Unknown>::normalize_batch({&public_key.point, 1});
  secrets::declassify(&public_key, sizeof public_key);
  return public_key;
}

}  // namespace

PackedPublicKey public_key_from_private(const jubjub::Fs& sk) { return pack_public_key(derive_normalized(sk)); }

Result<jubjub::PublicKey> convert_to_pubkey(const U256& x, const U256& y) {
  const auto fx = u256_to_fr(x);
  if (!fx) return unexpected(Error(fx.error().to_string()));
  const auto fy = u256_to_fr(y);
  if (!fy) return unexpected(Error(fy.error().to_string()));
  auto point = jubjub::Point<jubjub::Unknown>::from_xy(*fx, *fy, jubjub::jubjub_params());
  if (!point) return unexpected(Error(kCouldNotDecode));
  return jubjub::PublicKey{*point};
}

namespace {

// pub_key_to_xy, its square root only checked when `x_hint` is the point's
// x up to sign (decode_with_pair_y); the same results for any hint.
Result<std::pair<std::string, std::string>> pub_key_to_xy_hinted(std::string_view text, std::string_view x_hint) {
  const std::string_view digits = trim_hex_prefix(text);
  const auto v = U256::from_str_radix(digits, 16);
  if (!v) return unexpected(v.error().to_error());
  if (!small_value_rule_applies(*v)) {
    if (const auto point = decode_with_pair_y(v->to_little_endian(), x_hint)) {
      return std::pair{"0x" + std::string(digits), fr_to_u256(point->to_affine_vartime().first).to_hex_0x64()};
    }
  }
  const BabyJubjubPoint point = BabyJubjubPoint::from_packed(PackedPublicKey{*v});
  return std::pair{"0x" + std::string(digits), point.x.to_hex_0x64()};
}

}  // namespace

Result<std::pair<std::string, std::string>> pub_key_to_xy(std::string_view text) {
  return pub_key_to_xy_hinted(text, {});
}

Result<std::pair<std::string, std::string>> private_key_to_pubkey_xy(std::string_view text) {
  auto sk = private_key_from_string(text);
  if (!sk) return unexpected(std::move(sk).error());
  const secrets::WipeOnExit<jubjub::Fs> wipe_sk(*sk);
  return private_key_to_pubkey_xy(*sk);
}

std::pair<std::string, std::string> private_key_to_pubkey_xy(const jubjub::Fs& sk) {
  const jubjub::PublicKey key = derive_normalized(sk);
  // What pub_key_to_xy of the packed key's text gives, without decoding the
  // point again: decoding an encoding gives back the point it came from, so
  // its affine x is the derived point's (the small-value rule aside).
  const PackedPublicKey packed = pack_public_key(key);
  const U256 x = small_value_rule_applies(packed.value) ? U256{} : fr_to_u256(key.point.to_affine_vartime().first);
  return std::pair{packed.to_hex(), x.to_hex_0x64()};
}

std::optional<PublicKeyFault> public_key_fault_vartime(std::string_view text) {
  // pub_key_to_xy's steps, each failure named rather than raised.
  const auto v = U256::from_str_radix(trim_hex_prefix(text), 16);
  if (!v) return PublicKeyFault::malformed;
  if (small_value_rule_applies(*v)) return std::nullopt;
  const auto point = jubjub::Point<jubjub::Unknown>::read(v->to_little_endian(), jubjub::jubjub_params());
  if (point) return std::nullopt;
  return point.error().message == jubjub::kYNotInField ? PublicKeyFault::y_not_in_field
                                                         : PublicKeyFault::not_on_curve;
}

bool is_usable_public_key_vartime(std::string_view pub_key_x) {
  // Only the single "0x" the parser itself drops, as verify_signature reads it.
  const auto v = U256::from_str_radix(pub_key_x, 16);
  if (!v || small_value_rule_applies(*v)) return false;
  const jubjub::AltJubjubBn256& params = jubjub::jubjub_params();
  const auto point = jubjub::Point<jubjub::Unknown>::read(v->to_little_endian(), params);
  return point && !(*point == jubjub::Point<jubjub::Unknown>::zero()) &&
         point->is_in_prime_order_subgroup_vartime(params);
}

Result<bool> is_on_curve(std::string_view x, std::string_view y) {
  const std::string_view tx = trim_hex_prefix(x);
  const std::string_view ty = trim_hex_prefix(y);
  // y is most often the very x the pair needs: then x's square root is only
  // checked.
  auto pair = pub_key_to_xy_hinted(tx, ty);
  if (!pair) return unexpected(std::move(pair).error());
  return trim_hex_prefix(pair->first) == tx && trim_hex_prefix(pair->second) == ty;
}

}  // namespace quillet::sdk::keys
