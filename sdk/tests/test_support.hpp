// What the core library's tests (and the fuzz harnesses) share: the hard
// failure catcher, the constants several suites use, and plain forms of
// steps the library itself no longer takes (a point from its affine
// integers, a signature read back from its texts), which the tests hold the
// library's answers against.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/field/tests/test_support.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/jubjub/point.hpp"
#include "sdk/src/keys/key_text.hpp"
#include "sdk/src/keys/public_key.hpp"
#include "sdk/src/keys/signature.hpp"
#include "sdk/src/lib.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk::testing {

using quillet::testing::hard_failure_text;
using quillet::testing::kNoFailure;

// s, the subgroup order, and r, the base field's modulus: 64 digits each.
inline const std::string kSDigits = "060c89ce5c263405370a08b6d0302b0bab3eedb83920ee0a677297dc392126f1";
inline const std::string kRDigits = "30644e72e131a029b85045b68181585d2833e84879b9709143e1f593f0000001";
inline const std::string kZeros64(64, '0');
// The private key 1 (and the packed key of (0, 1), the neutral point).
inline const std::string kKeyOne = "0x" + std::string(63, '0') + "1";
// Affine x of the signing base.
inline const std::string kBaseX = "0x2ef3f9b423a2c8c74e9803958f6c320e854a1c1c06cd5cc8fd221dc052d76df7";
// The hard failures of an undecodable packed point.
inline const std::string kNotOnCurve =
    "called `Result::unwrap()` on an `Err` value: RestoreRPoint(Custom { kind: InvalidInput, error: \"not on "
    "curve\" })";
inline const std::string kYNotInField =
    "called `Result::unwrap()` on an `Err` value: RestoreRPoint(Custom { kind: InvalidInput, error: \"y is not in "
    "field\" })";

// A hexadecimal text that must parse.
inline U256 u256(std::string_view hex) { return *U256::from_str(hex); }

// The private key text derived from 40 bytes of `fill`.
inline std::string seed_key(char fill) {
  const std::string seed(40, fill);
  return *private_key_from_seed({reinterpret_cast<const uint8_t*>(seed.data()), seed.size()});
}

// The point (x, y). Fails hard with "called `Result::unwrap()` on an `Err`
// value: {repr} is not an element of the field" for a coordinate not below r
// (x looked at first), and with "called `Option::unwrap()` on a `None` value"
// off the curve.
inline jubjub::Point<jubjub::Unknown> point_from_xy(const U256& x, const U256& y) {
  const auto fx = keys::u256_to_fr(x);
  if (!fx) fail_hard(std::string(kUnwrapErr) + fx.error().to_string());
  const auto fy = keys::u256_to_fr(y);
  if (!fy) fail_hard(std::string(kUnwrapErr) + fy.error().to_string());
  auto point = jubjub::Point<jubjub::Unknown>::from_xy(*fx, *fy, jubjub::jubjub_params());
  if (!point) fail_hard(kUnwrapNone);
  return *point;
}

// The signature whose texts are r (R's encoding) and s, read as
// verify_signature reads them, with its hard failures: both texts parsed,
// then R decoded, then s checked against the subgroup order.
inline keys::JubjubSignature read_signature(std::string_view r, std::string_view s) {
  const U256 r_value = keys::parse_signature_text(r);
  const U256 s_value = keys::parse_signature_text(s);
  const auto point = jubjub::Point<jubjub::Unknown>::read(r_value.to_little_endian(), jubjub::jubjub_params());
  if (!point) keys::fail_restore_r_point(point.error());
  return keys::JubjubSignature{*point, keys::signature_scalar(s_value)};
}

}  // namespace quillet::sdk::testing
