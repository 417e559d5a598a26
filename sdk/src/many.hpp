// Many documents of one kind at once: each item's outcome is exactly what
// its single call (lib.hpp) gives. The Poseidon permutations of all items are
// computed together in the lane kernel of the process
// (crypto/poseidon/lanes.hpp); the signatures of a batch share one key
// parse, one inversion for their R and one combined self-check
// (jubjub::PrivateKey::sign_and_check_many).
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/poseidon/lanes.hpp"
#include "sdk/src/documents/document_hash.hpp"
#include "sdk/src/error.hpp"
#include "sdk/src/keys/signature.hpp"

namespace quillet::sdk {

// One item's single call: its returned value or error, or its hard failure.
template <class T>
using ItemResult = Expected<Result<T>, HardFailure>;

// The text hash_<kind> returns when its last squeeze gave `squeezed`: every
// document hash is that of its last squeeze, and nothing after it can fail.
std::string hash_text_of_squeeze(const field::Fr& squeezed);

// hash_<kind>(docs[i]) for every i, in order.
std::vector<ItemResult<std::string>> hash_many(DocumentKind kind, std::span<const std::string_view> docs,
                                               poseidon::LaneKernel k = poseidon::lane_kernel());

// sign_<kind>(docs[i], pri_key) for every i, in order.
std::vector<ItemResult<keys::JubjubSignature>> sign_many(DocumentKind kind, std::span<const std::string_view> docs,
                                                       std::string_view pri_key,
                                                       poseidon::LaneKernel k = poseidon::lane_kernel());

// sign(pri_key, msgs[i]) for every i, in order.
std::vector<ItemResult<keys::JubjubSignature>> sign_messages(std::string_view pri_key,
                                                           std::span<const std::string_view> msgs);

}  // namespace quillet::sdk
