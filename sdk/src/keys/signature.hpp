// The signature as the entry points hand it on, and the reading of the two
// texts of a signature to verify.
#pragma once

#include <string_view>

#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/fs.hpp"
#include "sdk/src/numbers/u256.hpp"

namespace quillet::sdk::keys {

// A signature from signing: R normalised (Z = 1, public once made) and S
// below the subgroup order. Its JSON form {"r":…,"s":…} is R's encoding and
// S, each as a 256-bit integer (sdk::to_json).
using JubjubSignature = jubjub::RawSignature;

// One half of a signature text: every leading "0x", then "0X", trimmed,
// then hexadecimal. Fails hard with "called `Result::unwrap()` on an `Err`
// value: " and the parse error's debug form.
U256 parse_signature_text(std::string_view text);

// s as a scalar; fails hard with "called `Result::unwrap()` on an `Err`
// value: NotInField(\"0x…\")" when it is not below the subgroup order.
jubjub::Fs signature_scalar(const U256& s);

}  // namespace quillet::sdk::keys
