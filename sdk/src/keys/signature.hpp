// The text-facing forms of a signature: its integer form JubjubSignature, the
// JSON form {"r":…,"s":…} (r the packed R), and the way back from text to a
// raw signature ready for verification.
#pragma once

#include <string>
#include <string_view>

#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/point.hpp"
#include "sdk/src/keys/public_key.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk::tx {

// The signature in integer form: R's affine coordinates and s. From signing,
// s is below the subgroup order; from text, it is not yet checked.
struct JubjubSignature {
  BabyJubjubPoint r;
  U256 s;

  // Parses the two texts (every leading "0x", then "0X", trimmed; then
  // hexadecimal) and decodes r as a packed point. Fails hard with "called
  // `Result::unwrap()` on an `Err` value: " and the parse error's debug form
  // on bad text, and as get_xy_from_r does on an undecodable r.
  static JubjubSignature from_str(std::string_view r_text, std::string_view s_text);

  bool operator==(const JubjubSignature&) const = default;
};

// The JSON form: r is the packed R.
struct SignatureOriginal {
  U256 r;
  U256 s;

  // {"r":"0x…","s":"0x…"}, each value 64 lower-case digits: 147 characters.
  std::string to_json() const;
};

// The point (x, y). Fails hard with "called `Result::unwrap()` on an `Err`
// value: {repr} is not an element of the field" for a coordinate not below r
// (x looked at first), and with "called `Option::unwrap()` on a `None` value"
// off the curve.
jubjub::Point<jubjub::Unknown> point_from_xy(const U256& x, const U256& y);

// The JSON form of `sig`; fails hard as point_from_xy does.
SignatureOriginal to_signature_original(const JubjubSignature& sig);

// One half of a signature text: every leading "0x", then "0X", trimmed,
// then hexadecimal. Fails hard with "called `Result::unwrap()` on an `Err`
// value: " and the parse error's debug form.
U256 parse_signature_text(std::string_view text);

// s as a scalar; fails hard with "called `Result::unwrap()` on an `Err`
// value: NotInField(\"0x…\")" when it is not below the subgroup order.
jubjub::Fs signature_scalar(const U256& s);

// A raw signature rebuilt from its integer form, ready for verification.
struct PackedSignature {
  jubjub::RawSignature raw;

  // R through point_from_xy (and its hard failures); s must be below the
  // subgroup order, else fails hard with "called `Result::unwrap()` on an
  // `Err` value: NotInField(\"0x…\")".
  static PackedSignature from(const JubjubSignature& sig);
};

}  // namespace quillet::sdk::tx
