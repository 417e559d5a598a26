// Batch verification's schedule: the steps of crypto/jubjub/batch_verify.hpp
// as stages on the threads a caller lends (a Spread). Which steps share a
// stage, how finely each is cut and which tables are kept between calls
// are decided here, and only here.
#pragma once

#include <span>
#include <vector>

#include "crypto/jubjub/batch_verify.hpp"
#include "crypto/spread/spread.hpp"

namespace quillet::sdk {

// For each signature, keys[sig.key].verify_for_raw_message(sig.msg,
// sig.signature), up to batch verification's error bound (a signature that
// does not verify is reported as verifying with probability below 2^-103,
// crypto/jubjub/batch_verify.hpp). Each key's subgroup check is made once,
// however many signatures share it. If the generator fails, each point and
// each signature is checked on its own. Fails hard if a key index is out of
// range. Variable time (public inputs). The stages run their pieces on
// `spread`; the answer does not depend on it.
std::vector<bool> verify_batch_vartime(std::span<const jubjub::PublicKey> keys,
                                       std::span<const jubjub::BatchSignature> sigs,
                                       const Spread& spread = serial_spread());

}  // namespace quillet::sdk
