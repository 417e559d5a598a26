// Public keys: the packed form, affine points as integer pairs, decoding a
// packed point, and the public-key text pair handed to callers.
//
// The text pair (x, y) carries the packed key as x and the affine
// x-coordinate of the key's point as y; the affine y-coordinate is never part
// of a pair.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "crypto/field/fr.hpp"
#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/fs.hpp"
#include "crypto/jubjub/point.hpp"
#include "sdk/src/error.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk::keys {

// A public key as one integer: the 32-byte point encoding read little-endian
// (bits 0 to 254 the affine y, bit 255 the parity of the affine x).
struct PackedPublicKey {
  U256 value;

  // "0x" and 64 lower-case digits.
  std::string to_hex() const { return value.to_hex_0x64(); }

  bool operator==(const PackedPublicKey&) const = default;
};

// An affine point as the canonical integers of its coordinates, or the pair
// (0, v) of the small-value rule.
struct BabyJubjubPoint {
  U256 x;
  U256 y;

  // The point of a packed key. A nonzero value below 2^160 is taken as it is,
  // as (0, value), without decoding; any other value (zero included) is
  // decoded with get_xy_from_r and so fails hard when undecodable.
  static BabyJubjubPoint from_packed(const PackedPublicKey& key);

  bool operator==(const BabyJubjubPoint&) const = default;
};

// The affine coordinates of the point whose encoding is the 32 little-endian
// bytes of `v`. Fails hard with "called `Result::unwrap()` on an `Err` value:
// RestoreRPoint(Custom { kind: InvalidInput, error: \"y is not in field\" })"
// when the low 255 bits are not below r, and with the same text ending in
// "not on curve" when no x fits them.
std::pair<field::Fr, field::Fr> get_xy_from_r(const U256& v);

// Whether a packed key is taken as the pair (0, v) without decoding: a
// nonzero value below 2^160.
bool small_value_rule_applies(const U256& v);

// The packed key `v` decoded with the help of `pair_y`, the second member of
// its text pair (the point's affine x) as callers pass it: when that text is
// the x up to sign, the key's square root is checked instead of taken.
// Nothing when it is not (any text at all: it is only a hint, and never
// changes an outcome) or when v does not decode; the caller then decodes v.
std::optional<jubjub::Point<jubjub::Unknown>> decode_with_pair_y(const std::array<uint8_t, 32>& v,
                                                                 std::string_view pair_y);

// The hard failure of an undecodable packed point, as get_xy_from_r raises it.
[[noreturn]] void fail_restore_r_point(const jubjub::ReadError& error);

// The packed form of a public key. The point is public: it must be
// normalised, decoded or built from coordinates (a variable-time inversion
// is made otherwise).
PackedPublicKey pack_public_key(const jubjub::PublicKey& key);

// The packed public key of `sk`: the encoding of sk·G, G the signing base.
// The entry points derive the point and pack it in the same two steps
// (private_key_to_pubkey_xy needs the point as well); this is the derivation
// the constant-time check (ctime/) runs on secret keys.
PackedPublicKey public_key_from_private(const jubjub::Fs& sk);

// The public key at the affine point (x, y), without a subgroup check
// (verification makes it). Fails with "{repr} is not an element of the field"
// for a coordinate not below r (x looked at first), and with "could not
// decode public key by x and y" for a pair off the curve.
Result<jubjub::PublicKey> convert_to_pubkey(const U256& x, const U256& y);

// The text pair of a packed key text: x is "0x" followed by the text with its
// prefixes trimmed, otherwise unchanged (case and length kept); y is "0x" and
// the 64 lower-case digits of the point's affine x (zeros under the
// small-value rule). Returns the hexadecimal parse error's text; fails hard on
// an undecodable key (see get_xy_from_r).
Result<std::pair<std::string, std::string>> pub_key_to_xy(std::string_view text);

// The text pair of the public key of a private key text, both members "0x"
// and 64 lower-case digits. Returns the private key text's error unchanged.
Result<std::pair<std::string, std::string>> private_key_to_pubkey_xy(std::string_view text);

// The same for a key already parsed.
std::pair<std::string, std::string> private_key_to_pubkey_xy(const jubjub::Fs& sk);

// Why pub_key_to_xy refuses a text, by category: it does not parse as hex
// (`malformed`, a returned error), or its point does not decode (a hard
// failure): its y is not below r, or no x fits y. Nothing for a text it
// accepts. Variable time: public keys only.
enum class PublicKeyFault { malformed, y_not_in_field, not_on_curve };
std::optional<PublicKeyFault> public_key_fault_vartime(std::string_view text);

// Whether verify_signature can accept a signature under the packed key text
// `pub_key_x`, and it is not the neutral point (under which a signature
// verifies for every message): it parses as verification parses it, the
// small-value rule does not apply (its (0, v) is on the curve only for the
// neutral point), it decodes, and its point is in the prime-order subgroup.
// False for any other text. Variable time: public keys only.
bool is_usable_public_key_vartime(std::string_view pub_key_x);

// Whether (x, y) is exactly the text pair of the packed key x: y must be the
// 64 lower-case digits of the affine x-coordinate, compared byte for byte
// after trimming prefixes. Errors and hard failures are those of
// pub_key_to_xy.
Result<bool> is_on_curve(std::string_view x, std::string_view y);

}  // namespace quillet::sdk::keys
