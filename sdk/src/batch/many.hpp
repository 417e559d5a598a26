// Many documents of one kind at once: each item's outcome is exactly what
// its single call (lib.hpp) gives. The Poseidon permutations of all items are
// computed together in the lane kernel of the process
// (crypto/poseidon/lanes.hpp); the signatures of a batch share one key
// parse, one inversion for a range of their R and one combined self-check
// (sign_schedule.hpp).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "crypto/jubjub/fixed_base.hpp"
#include "crypto/poseidon/deferred.hpp"
#include "crypto/poseidon/lanes.hpp"
#include "crypto/spread/spread.hpp"
#include "sdk/src/batch/item.hpp"
#include "sdk/src/documents/document_hash.hpp"
#include "sdk/src/hashing/message_hash.hpp"
#include "sdk/src/keys/signature.hpp"

namespace quillet::sdk {

// Whether hash_many and sign_many compute their permutations together in
// this process (its lane kernel is not the scalar one), and that kernel's name.
bool hashes_in_lanes();
std::string_view hash_kernel_name();

// The most items whose permutations hash_many computes together: eight
// groups of eight lanes. More items are hashed in runs of this many.
inline constexpr std::size_t kHashesTogether = poseidon::kDeferredChunk;

// hash_<kind>(docs[i]) for every i, in order, its text as characters.
std::vector<ItemResult<hashing::HashChars>> hash_many(DocumentKind kind, std::span<const std::string_view> docs,
                                               poseidon::LaneKernel k = poseidon::lane_kernel());

// sign_<kind>(docs[i], pri_key) for every i, in order. `k` runs the
// permutations, `base` the nonces' multiples of the signing base. The
// stages (the documents' hashes by ranges, then those of the signing) run
// on `spread`, so that one batch's fixed costs are paid once whatever the
// thread count; the outcome does not depend on it.
std::vector<ItemResult<keys::JubjubSignature>> sign_many(DocumentKind kind, std::span<const std::string_view> docs,
                                                       std::string_view pri_key,
                                                       poseidon::LaneKernel k = poseidon::lane_kernel(),
                                                       cpu::LaneKernel base = jubjub::fixed_base_kernel(),
                                                       const Spread& spread = serial_spread());

// sign(pri_key, msgs[i]) for every i, in order; `base` and `spread` as for
// sign_many.
std::vector<ItemResult<keys::JubjubSignature>> sign_messages(std::string_view pri_key,
                                                           std::span<const std::string_view> msgs,
                                                           cpu::LaneKernel base = jubjub::fixed_base_kernel(),
                                                           const Spread& spread = serial_spread());

}  // namespace quillet::sdk
