// verify_signature over many items at once: the well-formed ones checked
// together by one random linear combination (crypto/jubjub/batch_verify.hpp),
// each distinct public key decoded and checked once.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "crypto/spread/spread.hpp"
#include "sdk/src/batch/item.hpp"

namespace quillet::sdk {

// The five arguments of one verify_signature call.
struct VerifyArgs {
  std::string_view sig_r;
  std::string_view sig_s;
  std::string_view pub_key_x;
  std::string_view pub_key_y;
  std::string_view msg;
};

// verify_signature's own outcome for one item.
ItemResult<bool> verify_one(const VerifyArgs& item);

// verify_signature's outcome for each item, in input order. An item that is
// not well formed (any returned error or hard failure) is handed to
// verify_signature itself, so its error or failure text is exactly that
// function's. A well-formed item's value is verify_signature's, except that a
// signature that does not verify is taken as verifying with probability at
// most 13·2^-128 (see verify_batch_vartime). Never throws HardFailure. Its
// stages run their pieces on `spread`, which changes no outcome.
std::vector<ItemResult<bool>> verify_many(std::span<const VerifyArgs> items, const Spread& spread = serial_spread());

}  // namespace quillet::sdk
