// verify_signature over many items at once: the well-formed ones checked
// together by one random linear combination (crypto/jubjub/batch_verify.hpp),
// each distinct public key decoded and checked once.
#pragma once

#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/spread.hpp"
#include "sdk/src/error.hpp"

namespace quillet::sdk {

// The five arguments of one verify_signature call.
struct VerifyArgs {
  std::string_view sig_r;
  std::string_view sig_s;
  std::string_view pub_key_x;
  std::string_view pub_key_y;
  std::string_view msg;
};

// What verify_signature gives for one item: its value, its returned error or
// its hard failure.
using VerifyOutcome = std::variant<bool, Error, HardFailure>;

// verify_signature's outcome for each item, in input order. An item that is
// not well formed (any returned error or hard failure) is handed to
// verify_signature itself, so its error or failure text is exactly that
// function's. A well-formed item's value is verify_signature's, except that a
// signature that does not verify is taken as verifying with probability at
// most 13·2^-128 (see verify_batch_vartime). Never throws HardFailure. Its
// stages run their pieces on `spread`, which changes no outcome.
std::vector<VerifyOutcome> verify_many(std::span<const VerifyArgs> items, const Spread& spread = serial_spread());

}  // namespace quillet::sdk
