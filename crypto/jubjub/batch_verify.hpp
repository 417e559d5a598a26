// Verification of many signatures at once. With every R and public key in
// the prime-order subgroup, the signatures (R_i, S_i) on c_i under A_i all
// verify exactly when
//
//   sum of z_i·(S_i·G - R_i - c_i·A_i) = 0
//
// for weights z_i of 128 random bits (the kernel's generator, `random::fill_random`), evaluated as
// one multi-scalar multiplication: one term z_i·R_i per signature, one term
// per distinct key with the sum of its z_i·c_i, and G's single scalar
// through the base's table. If one signature is wrong, its term is a point of
// order s, and the sum vanishes only for one value of z_i modulo s: with
// probability at most 2^-128. When the sum does not vanish, a second sum
// weighted by position finds a lone failing signature (it is its position
// plus one times the first); with more failures, the set is halved and each
// half checked (the second half's sum is the difference, for free).
//
// The subgroup checks come first and per point, since torsion could cancel in
// the sum (two R each shifted by the point of order 2, say): for many points
// together by 104 random subset products of their pairing values, which let
// a point outside the subgroup through with probability at most 2^-104.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "crypto/jubjub/eddsa.hpp"
#include "crypto/spread/spread.hpp"
#include "crypto/jubjub/params.hpp"

namespace quillet::jubjub {

// One signature of a batch: its message (cut or zero-padded to 32 bytes, as
// verification reads it) and the index of its signer's key in the batch's
// key list.
struct BatchSignature {
  RawSignature signature;
  std::array<uint8_t, kMaxMessageSize> msg;
  size_t key;
};

// The most signatures one combination covers; longer batches are cut into
// runs of this many.
inline constexpr size_t kMaxBatchRun = 4096;

// For each signature, keys[sig.key].verify_for_raw_message(sig.msg,
// sig.signature): the same answer,
// except that a signature that does not verify is reported as verifying with
// probability below 2^-103: a point outside the subgroup passes the subgroup
// queries with probability at most 2^-104; otherwise a set containing the
// signature must pass a combination, at most 2^-128 for each of the (at most
// 13) halves containing it and at most n·2^-128 for each lone-failure search
// over n signatures containing it (2^13 in all). Each key's subgroup
// check is made once, however many signatures share it. If the generator fails,
// each point and each signature is checked on its own. Fails hard if a key
// index is out of range. Variable time (public inputs). The stages run their
// pieces (points, queries, windows) on `spread`; the answer does not depend on it.
std::vector<bool> verify_batch_vartime(std::span<const PublicKey> keys, std::span<const BatchSignature> sigs,
                                       const Spread& spread = serial_spread());

}  // namespace quillet::jubjub
