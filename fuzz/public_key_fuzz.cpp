// Public key texts: pub_key_to_xy and is_on_curve on two texts separated by
// a 0x00 byte. Checks the pair convention, the small-value rule, and that
// is_on_curve answers exactly as a comparison with pub_key_to_xy's pair.
#include "fuzz/fuzz_support.hpp"
#include "sdk/src/keys/public_key.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/src/numbers/u256.hpp"

using namespace quillet;
using sdk::trim_hex_prefix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto texts = fuzz::split<2>(fuzz::as_text(data, size));
  const std::string_view x = texts[0];
  const std::string_view y = texts[1];
  const std::string_view t = trim_hex_prefix(x);
  const auto value = sdk::U256::from_str_radix(t, 16);
  const auto pair = fuzz::run([&] { return sdk::pub_key_to_xy(x); });

  if (!value) {
    fuzz::check(pair.value && !pair.value->has_value() &&
                    pair.value->error().to_string() == value.error().to_error().to_string(),
                "pub_key_to_xy returns the parse error, caused by its source");
  } else if (!value->is_zero() && value->words[3] == 0 && (value->words[2] >> 32) == 0) {
    fuzz::check(pair.value && pair.value->has_value(), "small values are not decoded");
    fuzz::check((*pair.value)->second == "0x" + std::string(64, '0'), "small value has x = 0");
  } else if (!pair.value) {
    fuzz::check(pair.hard_failure.starts_with(std::string(kUnwrapErr) + "RestoreRPoint(Custom { kind: InvalidInput, error: "),
                "undecodable key fails hard with RestoreRPoint", pair.hard_failure);
  }
  if (pair.value && pair.value->has_value()) {
    const auto& [px, py] = **pair.value;
    fuzz::check(px == "0x" + std::string(t), "x is the trimmed text", px);
    fuzz::check(fuzz::is_hex64(py), "y form", py);
  }

  // is_on_curve(x, y) is pub_key_to_xy of the trimmed x, then a comparison.
  const std::string_view xt = trim_hex_prefix(x);
  const auto inner = fuzz::run([&] { return sdk::pub_key_to_xy(xt); });
  const auto on_curve = fuzz::run([&] { return sdk::is_on_curve(x, y); });
  if (!inner.value) {
    fuzz::check(!on_curve.value && on_curve.hard_failure == inner.hard_failure, "same hard failure");
  } else if (!inner.value->has_value()) {
    fuzz::check(on_curve.value && !on_curve.value->has_value() &&
                    on_curve.value->error().to_string() == inner.value->error().to_string(),
                "same returned error");
  } else {
    const auto& [a, b] = **inner.value;
    const bool want = trim_hex_prefix(a) == xt && trim_hex_prefix(b) == trim_hex_prefix(y);
    fuzz::check(on_curve.value && on_curve.value->has_value() && **on_curve.value == want,
                "is_on_curve compares with the pair");
  }
  return 0;
}
