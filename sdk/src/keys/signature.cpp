#include "sdk/src/keys/signature.hpp"

#include <string>

#include "crypto/failure.hpp"
#include "crypto/jubjub/params.hpp"
#include "sdk/src/json/writer.hpp"
#include "sdk/src/keys/key_text.hpp"

namespace quillet::sdk::tx {
namespace {

field::Fr fr_or_fail(const U256& v) {
  const auto f = u256_to_fr(v);
  if (!f) fail_hard(std::string(kUnwrapErr) + f.error().to_string());
  return *f;
}

}  // namespace

U256 parse_signature_text(std::string_view text) {
  const auto v = U256::from_str_radix(trim_hex_prefix(text), 16);
  if (!v) fail_hard(std::string(kUnwrapErr) + v.error().debug());
  return *v;
}

jubjub::Fs signature_scalar(const U256& s) {
  const auto v = jubjub::Fs::from_repr(s.words);
  if (!v) fail_hard(std::string(kUnwrapErr) + v.error().debug());
  return *v;
}

JubjubSignature JubjubSignature::from_str(std::string_view r_text, std::string_view s_text) {
  const U256 r = parse_signature_text(r_text);
  const U256 s = parse_signature_text(s_text);
  const auto [x, y] = get_xy_from_r(r);
  return JubjubSignature{BabyJubjubPoint{fr_to_u256(x), fr_to_u256(y)}, s};
}

std::string SignatureOriginal::to_json() const {
  return json::string_object({{"r", r.to_hex_0x64()}, {"s", s.to_hex_0x64()}});
}

jubjub::Point<jubjub::Unknown> point_from_xy(const U256& x, const U256& y) {
  const field::Fr fx = fr_or_fail(x);
  const field::Fr fy = fr_or_fail(y);
  auto point = jubjub::Point<jubjub::Unknown>::from_xy(fx, fy, jubjub::jubjub_params());
  if (!point) fail_hard(kUnwrapNone);
  return *point;
}

SignatureOriginal to_signature_original(const JubjubSignature& sig) {
  const jubjub::PointEncoding r = point_from_xy(sig.r.x, sig.r.y).encode_vartime();
  return SignatureOriginal{le_to_u256(r), sig.s};
}

PackedSignature PackedSignature::from(const JubjubSignature& sig) {
  const jubjub::Point<jubjub::Unknown> r = point_from_xy(sig.r.x, sig.r.y);
  return PackedSignature{jubjub::RawSignature{r, signature_scalar(sig.s)}};
}

}  // namespace quillet::sdk::tx
