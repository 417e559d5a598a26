#include "crypto/jubjub/batch_verify.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "crypto/failure.hpp"
#include "crypto/jubjub/msm/msm.hpp"
#include "crypto/jubjub/msm/straus.hpp"
#include "crypto/jubjub/subgroup.hpp"
#include "crypto/jubjub/weights.hpp"

namespace quillet::jubjub {
namespace {

using detail::add_points;
using detail::Extended;
using detail::negate;
using detail::PointAccess;

// Scalars modulo s are below 2^252.
constexpr unsigned kFsBits = 252;
// Positions in a run, counted from one, take 13 bits (kMaxBatchRun = 4096).
constexpr unsigned kIndexBits = 13;
static_assert(kMaxBatchRun < (size_t{1} << kIndexBits));
// The fewest members for which a lone failing one is searched for before
// halving.
constexpr size_t kLoneSearchMin = 8;
// The fewest members whose combination is worth a stage of several threads.
constexpr size_t kSpreadMin = 32;

bool equal(const Extended& p, const Extended& q) { return p.x * q.z == q.x * p.z && p.y * q.z == q.y * p.z; }

// -P for each point, affine (one inversion for those that are not).
std::vector<Extended> negated_affine(std::vector<Point<Unknown>> points) {
  std::vector<Point<Unknown>> pending;
  for (const Point<Unknown>& p : points) {
    if (!(PointAccess::coords(p).z == Fr::one())) pending.push_back(p);
  }
  Point<Unknown>::normalize_batch(pending);
  std::vector<Extended> out(points.size());
  size_t next = 0;
  for (size_t i = 0; i < points.size(); ++i) {
    const Point<Unknown>& p = PointAccess::coords(points[i]).z == Fr::one() ? points[i] : pending[next++];
    out[i] = negate(PointAccess::coords(p));
  }
  return out;
}

// z·S and z·c of a signature with weight z.
void weigh(const BatchSignature& sig, const FsRepr& weight, Fs& zs, Fs& zc) {
  const Fs z = Fs::from_raw(weight);
  zs = z * sig.signature.s;
  zc = z * to_uniform_32(sig.msg);
}

// One run of signatures whose R and key lie in the prime-order subgroup,
// with their weights.
class Run {
 public:
  // The run of sigs[index[m]], each with its weight, negated affine R and
  // weigh()'s two scalars at m (read in place, all of index's length).
  Run(const std::vector<Extended>& neg_keys, const Spread& spread, std::span<const FsRepr> weights, std::span<const Extended> neg_r, std::span<const Fs> zs,
      std::span<const Fs> zc, std::span<const BatchSignature> sigs, std::span<const size_t> index)
      : neg_keys_(neg_keys),
        spread_(spread),
        weights_(weights),
        neg_r_(neg_r),
        zs_(zs),
        zc_(zc),
        sigs_(sigs),
        index_(index) {}

  size_t size() const { return weights_.size(); }

  // The sum over `members` of w_i·(S_i·G - R_i - c_i·A_i) with w_i = z_i,
  // or with w_i = (p + 1)·z_i for the member at position p when `indexed`.
  Extended combination(std::span<const size_t> members, bool indexed = false) const {
    const size_t n = members.size();
    // Members are a run of consecutive signatures (the whole, a half, one):
    // their points, and without positions their weights, are read in place.
    bool consecutive = true;
    for (size_t p = 0; p < n && consecutive; ++p) consecutive = members[p] == members[0] + p;
    const size_t start = n == 0 ? 0 : members[0];
    std::vector<Extended> points_copy;
    std::vector<FsRepr> scalars_copy;
    // With positions, each member's three products, on the spread.
    std::vector<Fs> zs_at, zc_at;
    if (indexed || !consecutive) {
      // Copies alone are not worth a stage.
      const Spread& spread = members.size() < kSpreadMin || !indexed ? serial_spread() : spread_;
      points_copy.resize(n);
      scalars_copy.resize(n);
      if (indexed) {
        zs_at.resize(n);
        zc_at.resize(n);
      }
      spread.for_ranges(n, 4, [&](size_t first, size_t last) {
        for (size_t p = first; p < last; ++p) {
          const size_t m = members[p];
          points_copy[p] = neg_r_[m];
          if (!indexed) {
            scalars_copy[p] = weights_[m];
            continue;
          }
          const Fs position = Fs::from_u128(p + 1, 0);
          // Below 2^141 < s, so the residue is the integer.
          scalars_copy[p] = (Fs::from_raw(weights_[m]) * position).into_repr();
          zs_at[p] = zs_[m] * position;
          zc_at[p] = zc_[m] * position;
        }
      });
    }
    const std::span<const Extended> points =
        points_copy.empty() ? neg_r_.subspan(start, n) : std::span<const Extended>(points_copy);
    const std::span<const FsRepr> scalars =
        scalars_copy.empty() ? weights_.subspan(start, n) : std::span<const FsRepr>(scalars_copy);
    // G's scalar and each key's, summed over the members (in the keys' plan's
    // piece below).
    Fs g = Fs::zero();
    std::vector<Extended> key_points;
    std::vector<FsRepr> key_scalars;
    const auto key_sums = [&] {
      std::vector<Fs> key_sum(neg_keys_.size(), Fs::zero());
      std::vector<uint8_t> seen(neg_keys_.size(), 0);
      std::vector<size_t> touched;
      for (size_t p = 0; p < n; ++p) {
        const size_t m = members[p];
        g.add_assign(indexed ? zs_at[p] : zs_[m]);
        const size_t key = sigs_[index_[m]].key;
        if (seen[key] == 0) touched.push_back(key);
        seen[key] = 1;
        key_sum[key].add_assign(indexed ? zc_at[p] : zc_[m]);
      }
      key_points.reserve(touched.size());
      key_scalars.reserve(touched.size());
      for (size_t k : touched) {
        key_points.push_back(neg_keys_[k]);
        key_scalars.push_back(key_sum[k].into_repr());
      }
    };
    // The two plans' sizes side by side, the keys' after their sums, with
    // a quarter of the R plan's tables (the sums cost about as much); then
    // the rest of both plans' tables in parts sized by their scalars' bits
    // (a key's has twice a weight's; an R part still measures about 1.4 key
    // parts), taken as threads free up.
    // Then the keys' part, G's and each window (or pass) of the R part run
    // as pieces of one stage, the keys' (one long piece when few) first, on
    // two threads an odd pass out cut in halves last; then each plan's
    // windows are combined (the doublings), side by side.
    const Spread& msm_spread = members.size() < kSpreadMin ? serial_spread() : spread_;
    // The plans' tables in memory this thread keeps between calls: made
    // afresh, their first touch page-faulted on every call. The plans die
    // before this call returns, and the calls one thread makes never overlap.
    thread_local std::array<detail::MsmTables, 2> tables;
    detail::MsmTables* const r_tables = &tables[0];
    detail::MsmTables* const key_tables = &tables[1];
    std::optional<detail::MsmPlanVartime> r_plan, key_plan;
    const size_t r_first = n / 4;
    msm_spread.for_each(2, [&](size_t i) {
      if (i == 0) {
        r_plan.emplace(points, scalars, detail::kWeightBits + (indexed ? kIndexBits : 0), kEdwardsD2,
                       detail::MsmPlanVartime::Deferred{r_tables});
        r_plan->make(0, r_first);
      } else {
        key_sums();
        key_plan.emplace(key_points, key_scalars, kFsBits, kEdwardsD2, detail::MsmPlanVartime::Deferred{key_tables});
      }
    });
    constexpr size_t kKeyParts = 6;
    constexpr size_t kRParts = 2;
    const size_t k = key_points.size();
    msm_spread.for_each(kKeyParts + kRParts, [&](size_t i) {
      if (i < kKeyParts) {
        key_plan->make(i * k / kKeyParts, (i + 1) * k / kKeyParts);
      } else {
        const size_t j = i - kKeyParts;
        r_plan->make(r_first + j * (n - r_first) / kRParts, r_first + (j + 1) * (n - r_first) / kRParts);
      }
    });
    if (msm_spread.width() == 2 && (r_plan->passes() + key_plan->passes()) % 2 == 1) r_plan->split_passes(1);
    const size_t g_piece = key_plan->pieces();
    const size_t first_r = g_piece + 1;
    std::vector<Extended> sums(first_r + r_plan->pieces());
    msm_spread.for_each(sums.size(), [&](size_t i) {
      if (i < g_piece) {
        sums[i] = key_plan->piece(i);
      } else if (i == g_piece) {
        // In lanes where they run: the one piece not cut to size ends sooner.
        sums[i] = PointAccess::coords(signing_table().mul_lanes(g));
      } else {
        sums[i] = r_plan->piece(i - first_r);
      }
    });
    const std::span<const Extended> all(sums);
    std::array<Extended, 2> parts;
    msm_spread.for_each(2, [&](size_t i) {
      parts[i] = i == 0 ? key_plan->combine(all.first(g_piece)) : r_plan->combine(all.subspan(first_r));
    });
    return add_points(add_points(parts[0], parts[1], kEdwardsD2), sums[g_piece], kEdwardsD2);
  }

  // Marks `members` (whose combination is `sum`) in `out`, through `index`:
  // all verify if the sum vanishes, and a single member whose term does not
  // vanish does not verify. Otherwise, for many members, a second
  // combination weighted by position finds a lone failing member p cheaply:
  // it is (p + 1) times the first. If p's own term is then the whole sum,
  // the others' sum vanishes and p alone fails. Failing that, each half is
  // resolved (the second half's sum is the difference).
  void resolve(std::span<const size_t> members, const Extended& sum, std::span<const size_t> index,
               std::vector<bool>& out) const {
    if (detail::is_identity_vartime(sum)) {
      for (size_t m : members) out[index[m]] = true;
      return;
    }
    if (members.size() == 1) return;
    if (members.size() >= kLoneSearchMin) {
      const Extended indexed = combination(members, true);
      Extended multiple = sum;
      for (size_t p = 0; p < members.size(); ++p) {
        if (equal(multiple, indexed)) {
          if (!equal(combination(members.subspan(p, 1)), sum)) break;
          for (size_t q = 0; q < members.size(); ++q) {
            if (q != p) out[index[members[q]]] = true;
          }
          return;
        }
        multiple = add_points(multiple, sum, kEdwardsD2);
      }
    }
    const auto left = members.first(members.size() / 2);
    const auto right = members.subspan(left.size());
    const Extended left_sum = combination(left);
    resolve(left, left_sum, index, out);
    resolve(right, add_points(sum, negate(left_sum), kEdwardsD2), index, out);
  }

 private:
  const std::vector<Extended>& neg_keys_;
  const Spread& spread_;
  std::span<const FsRepr> weights_;
  std::span<const Extended> neg_r_;
  std::span<const Fs> zs_;
  std::span<const Fs> zc_;
  std::span<const BatchSignature> sigs_;
  std::span<const size_t> index_;
};

}  // namespace

std::vector<bool> verify_batch_vartime(std::span<const PublicKey> keys, std::span<const BatchSignature> sigs,
                                       const Spread& spread) {
  for (const BatchSignature& sig : sigs) {
    if (sig.key >= keys.size()) fail_hard("assertion failed: batch key index in range");
  }
  std::vector<bool> out(sigs.size(), false);
  // The subgroup checks, together: each key in use once, and each R.
  std::vector<size_t> used_keys;
  std::vector<uint8_t> key_used(keys.size(), 0);
  for (const BatchSignature& sig : sigs) {
    if (key_used[sig.key] == 0) used_keys.push_back(sig.key);
    key_used[sig.key] = 1;
  }
  std::vector<const Extended*> checked;
  checked.reserve(used_keys.size() + sigs.size());
  for (size_t k : used_keys) checked.push_back(&PointAccess::coords(keys[k].point));
  for (const BatchSignature& sig : sigs) checked.push_back(&PointAccess::coords(sig.signature.r));
  // Beside the subgroup check's first stage (many short pieces): the
  // negated affine forms of the keys and of every R, and the first run's
  // weights in two halves (drawing them takes longer than either form). A
  // point outside the subgroup gets its form too, unused. Beside its last
  // (few long pieces), in parts: weigh() for each of the first run's
  // signatures, which as a rule is the run (every signature a candidate).
  const size_t first_run = std::min(kMaxBatchRun, sigs.size());
  std::vector<Extended> neg_keys, neg_r;
  std::vector<FsRepr> weights(first_run);
  std::vector<Fs> zs(first_run), zc(first_run);
  const size_t half = first_run / 2;
  std::array<bool, 2> halves_drawn{};
  const auto first_side = [&](size_t i) {
    if (i == 0) {
      std::vector<Point<Unknown>> key_points;
      key_points.reserve(keys.size());
      for (const PublicKey& key : keys) key_points.push_back(key.point);
      neg_keys = negated_affine(std::move(key_points));
    } else if (i == 1) {
      std::vector<Point<Unknown>> r_points;
      r_points.reserve(sigs.size());
      for (const BatchSignature& sig : sigs) r_points.push_back(sig.signature.r);
      neg_r = negated_affine(std::move(r_points));
    } else {
      const std::span<FsRepr> part = i == 2 ? std::span(weights).first(half) : std::span(weights).subspan(half);
      halves_drawn[i - 2] = detail::draw_weights(part);
    }
  };
  constexpr size_t kWeighParts = 4;
  const auto last_side = [&](size_t part) {
    if (!halves_drawn[0] || !halves_drawn[1]) return;
    for (size_t i = part * first_run / kWeighParts; i < (part + 1) * first_run / kWeighParts; ++i) {
      weigh(sigs[i], weights[i], zs[i], zc[i]);
    }
  };
  const std::vector<bool> in_subgroup = detail::in_subgroup_vartime(
      checked, spread, SidePieces(4, first_side), SidePieces(kWeighParts, last_side));
  std::vector<uint8_t> key_ok(keys.size(), 0);
  for (size_t j = 0; j < used_keys.size(); ++j) key_ok[used_keys[j]] = in_subgroup[j] ? 1 : 0;

  // With its key in the subgroup, a signature whose R is not cannot verify
  // (S·G - c·A is in it); the others enter the combination.
  std::vector<size_t> candidates;
  candidates.reserve(sigs.size());
  for (size_t i = 0; i < sigs.size(); ++i) {
    if (key_ok[sigs[i].key] == 0 || !in_subgroup[used_keys.size() + i]) continue;
    candidates.push_back(i);
  }
  // The candidates' R forms in their order (as a rule, every signature's).
  const bool every = candidates.size() == sigs.size();
  if (!every) {
    std::vector<Extended> kept(candidates.size());
    for (size_t c = 0; c < candidates.size(); ++c) kept[c] = neg_r[candidates[c]];
    neg_r = std::move(kept);
  }
  bool drawn = halves_drawn[0] && halves_drawn[1];

  for (size_t start = 0; start < candidates.size(); start += kMaxBatchRun) {
    const std::span<const size_t> index = std::span(candidates).subspan(start, std::min(kMaxBatchRun, candidates.size() - start));
    if (start > 0) {
      weights.resize(index.size());
      drawn = detail::draw_weights(weights);
    }
    if (!drawn) {
      std::vector<uint8_t> valid(index.size(), 0);
      spread.for_ranges(index.size(), 4, [&](size_t first, size_t last) {
        for (size_t m = first; m < last; ++m) {
          const BatchSignature& sig = sigs[index[m]];
          valid[m] = keys[sig.key].verify_for_raw_message(sig.msg, sig.signature) ? 1 : 0;
        }
      });
      for (size_t m = 0; m < index.size(); ++m) out[index[m]] = valid[m] != 0;
      continue;
    }
    // Unless weighed beside the check (the first run, every signature a
    // candidate), a run weighs its own signatures, weights in candidate order.
    if (start > 0 || !every) {
      zs.resize(index.size());
      zc.resize(index.size());
      spread.for_ranges(index.size(), 4, [&](size_t first, size_t last) {
        for (size_t m = first; m < last; ++m) weigh(sigs[index[m]], weights[m], zs[m], zc[m]);
      });
    }
    const size_t count = index.size();
    const Run run(neg_keys, spread, std::span(weights).first(count),
                  std::span(neg_r).subspan(start, count), std::span(zs).first(count), std::span(zc).first(count),
                  sigs, index);
    std::vector<size_t> members(count);
    for (size_t m = 0; m < members.size(); ++m) members[m] = m;
    run.resolve(members, run.combination(members), index, out);
  }
  return out;
}

}  // namespace quillet::jubjub
