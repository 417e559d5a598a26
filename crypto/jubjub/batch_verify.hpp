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
// together by 104 random subset products of their pairing values
// (subgroup.hpp), which let a point outside the subgroup through with
// probability at most 2^-104.
//
// Here are the steps, each pure and the size of a stage's piece; which run
// together, on which threads and cut how finely is the caller's schedule.
// The answer does not depend on it: for each signature,
// keys[sig.key].verify_for_raw_message(sig.msg, sig.signature), except that
// a signature that does not verify is reported as verifying with probability
// below 2^-103: a point outside the subgroup passes the subgroup queries with
// probability at most 2^-104; otherwise a set containing the signature must
// pass a combination, at most 2^-128 for each of the (at most 13) halves
// containing it and at most n·2^-128 for each lone-failure search over n
// signatures containing it (2^13 in all). Variable time (public inputs).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/msm/msm.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/jubjub/subgroup.hpp"
#include "crypto/jubjub/weights.hpp"

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

namespace batch {

// The curve's parts the steps take and give.
using detail::draw_weights;
using detail::Extended;
using detail::kWeightBits;
using detail::MsmPlanVartime;
using detail::MsmTables;

// The subgroup check's steps (subgroup.hpp).
using detail::kMinSharedQueries;
using detail::kQueriesAtOnce;
using detail::kSubgroupQueries;
using detail::pairing_value_vartime;
using detail::pairings_are_one_vartime;
using detail::queries_pass_vartime;
using detail::query_products_vartime;
using detail::QueryProducts;
using detail::subset_bytes;
using detail::value_blocks;

// The points whose subgroup membership decides a batch: each key the
// signatures use, once, then every R. Fails hard if a key index is out of
// range.
struct SubgroupPoints {
  std::vector<size_t> keys;             // the keys in use, by first use
  std::vector<const Extended*> points;  // keys[keys[k]]'s at k, sigs[i]'s R at keys.size() + i
};
SubgroupPoints subgroup_points(std::span<const PublicKey> keys, std::span<const BatchSignature> sigs);

// -P for each key's point, or each signature's R: affine, one inversion for
// those whose Z is not one.
std::vector<Extended> negated_affine_keys(std::span<const PublicKey> keys);
std::vector<Extended> negated_affine_r(std::span<const BatchSignature> sigs);

// The signatures that enter the combination, in order, from the verdict on
// each of checked.points (nonzero: in the subgroup): those whose key and R
// are both in it. The others do not verify: with its key in the subgroup, a
// signature whose R is not cannot (S·G - c·A is in it).
std::vector<size_t> candidates(std::span<const BatchSignature> sigs, const SubgroupPoints& checked,
                               std::span<const uint8_t> in_subgroup);

// z·S and z·c of a signature with weight z.
void weigh(const BatchSignature& sig, const FsRepr& weight, Fs& zs, Fs& zc);

// A run of at most kMaxBatchRun candidates: member m is sigs[index[m]],
// with its weight, negated affine R and weigh()'s scalars at m; the keys'
// negated affine points by key index.
struct Run {
  std::span<const Extended> neg_keys;
  std::span<const BatchSignature> sigs;
  std::span<const size_t> index;
  std::span<const FsRepr> weights;
  std::span<const Extended> neg_r;
  std::span<const Fs> zs;
  std::span<const Fs> zc;
};

// The sum over `members` (positions in a run) of w_i·(S_i·G - R_i - c_i·A_i)
// with w_i = z_i, or with w_i = (p + 1)·z_i for the member at position p
// when `indexed`, as terms: one per member's R (r_bits() bits), one per
// distinct key (scalars modulo s) and G's scalar. In order: fill() over
// every member (disjoint ranges may run at once) when copies(); then
// sum_keys() and r_plan(), which may run at once; then key_plan(); then the
// plans' steps (make, piece, combine) and g_term() may run at once, and
// total() adds the three. The run must outlive it, and it its plans.
class Combination {
 public:
  Combination(const Run& run, std::span<const size_t> members, bool indexed);

  // Whether the R terms are copies (with positions, or members that are not
  // consecutive) that fill() makes; else they are read in place.
  bool copies() const { return copies_; }
  void fill(size_t first, size_t last);
  void sum_keys();

  // The multiplications of the R terms and of the key terms, their tables
  // left to make (MsmPlanVartime::Deferred) in `tables` (which must outlive
  // the plan; nullptr: the plan's own).
  MsmPlanVartime r_plan(MsmTables* tables) const;
  MsmPlanVartime key_plan(MsmTables* tables) const;
  size_t r_terms() const { return members_.size(); }
  size_t key_terms() const { return key_points_.size(); }
  // G's term, by the signing table (in lanes where they run).
  Extended g_term() const;
  static Extended total(const Extended& keys, const Extended& r, const Extended& g);

 private:
  const Run& run_;
  std::span<const size_t> members_;
  bool indexed_;
  bool copies_;
  std::vector<Extended> r_points_;
  std::vector<FsRepr> r_scalars_;
  std::vector<Fs> zs_at_, zc_at_;  // with positions, each member's
  Fs g_ = Fs::zero();
  std::vector<Extended> key_points_;
  std::vector<FsRepr> key_scalars_;
};

// What evaluates a run's combinations for resolve_vartime (a Combination's
// total, however its steps are scheduled).
class Combinations {
 public:
  virtual Extended combination(std::span<const size_t> members, bool indexed) const = 0;

 protected:
  ~Combinations() = default;
};

// Sets out[index[m]] for each of `members` (whose combination is `sum`)
// that verifies: all if the sum vanishes; a single member whose term does
// not vanish does not. Otherwise, for many members, a second combination
// weighted by position finds a lone failing member p cheaply: it is (p + 1)
// times the first; if p's own term is then the whole sum, the others' sum
// vanishes and p alone fails. Failing that, each half is resolved (the
// second half's sum is the difference).
void resolve_vartime(const Combinations& combinations, std::span<const size_t> members, const Extended& sum,
                     std::span<const size_t> index, std::vector<bool>& out);

}  // namespace batch
}  // namespace quillet::jubjub
