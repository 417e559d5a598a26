// The L1 signature: the signature of a message integer in unpacked form, with
// both affine coordinates of R, and the signer's public-key text pair.
#pragma once

#include <string>
#include <string_view>

#include "crypto/jubjub/fs.hpp"
#include "sdk/src/error.hpp"

namespace quillet::sdk::keys {

// Every field is "0x" and 64 lower-case digits.
struct L1Signature {
  std::string x;     // affine x of R
  std::string y;     // affine y of R
  std::string s;     // the scalar S
  std::string pk_x;  // the signer's packed public key
  std::string pk_y;  // affine x of the signer's public key point

  bool operator==(const L1Signature&) const = default;
};

// The signature of the message integer `msg` under the private key text; the
// same signature as sign() makes for the same integer. Every leading "0x",
// then every leading "0X", is trimmed from `msg` before it is parsed, so
// "0X1" is accepted here. The key is parsed first: its error (that of
// private_key_from_string) comes before the message's hexadecimal error.
Result<L1Signature> l1_sign(std::string_view msg, std::string_view private_key);

// The same under a key already parsed: the message's error alone.
Result<L1Signature> l1_sign(std::string_view msg, const jubjub::Fs& sk);

}  // namespace quillet::sdk::keys
