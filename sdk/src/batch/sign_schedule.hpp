// Batch signing's schedule: the steps of crypto/jubjub/batch_sign.hpp as
// stages on the threads a caller lends (a Spread). Which steps share a
// stage, how finely each is cut and how the nonces are shared out are
// decided here, and only here.
#pragma once

#include <span>
#include <vector>

#include "crypto/jubjub/batch_sign.hpp"
#include "crypto/jubjub/fixed_base.hpp"
#include "crypto/spread/spread.hpp"

namespace quillet::sdk {

// sign_and_check (signer's key omitted) of each message with the nonce
// deterministic_nonce gives it: the same signatures and verdicts. The R are
// made on `kernel` (eight at a time in lanes), normalised by one inversion
// per range of items and checked by check_own_signatures. The stages run
// their pieces on `spread`; the outcome does not depend on it. Constant
// time in sk and the nonces, which are wiped on every path.
std::vector<jubjub::CheckedSignature> sign_and_check_many(const jubjub::PrivateKey& sk,
                                                          std::span<const jubjub::Message> msgs,
                                                          cpu::LaneKernel kernel = jubjub::fixed_base_kernel(),
                                                          const Spread& spread = serial_spread());

// For each signature (R normalised, S) of msgs[i], whether
// (S - c·sk)·G = R, the verdict of sign_and_check: the combined self-check
// (jubjub::batch::SelfCheck), and where it does not hold each signature
// alone. Each R must be a multiple of G, as signing makes it. Fails hard on
// mismatched lengths. Constant time in sk; R and S are public. Its stages
// run on `spread`.
std::vector<bool> check_own_signatures(const jubjub::PrivateKey& sk, std::span<const jubjub::Message> msgs,
                                       std::span<const jubjub::RawSignature> sigs,
                                       const Spread& spread = serial_spread());

}  // namespace quillet::sdk
