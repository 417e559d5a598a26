#include "crypto/jubjub/batch_verify.hpp"

#include <algorithm>
#include <utility>

#include "crypto/failure.hpp"

namespace quillet::jubjub::batch {
namespace {

using detail::add_points;
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

bool equal(const Extended& p, const Extended& q) { return p.x * q.z == q.x * p.z && p.y * q.z == q.y * p.z; }

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

}  // namespace

SubgroupPoints subgroup_points(std::span<const PublicKey> keys, std::span<const BatchSignature> sigs) {
  SubgroupPoints out;
  std::vector<uint8_t> key_used(keys.size(), 0);
  for (const BatchSignature& sig : sigs) {
    if (sig.key >= keys.size()) fail_hard("assertion failed: batch key index in range");
    if (key_used[sig.key] == 0) out.keys.push_back(sig.key);
    key_used[sig.key] = 1;
  }
  out.points.reserve(out.keys.size() + sigs.size());
  for (size_t k : out.keys) out.points.push_back(&PointAccess::coords(keys[k].point));
  for (const BatchSignature& sig : sigs) out.points.push_back(&PointAccess::coords(sig.signature.r));
  return out;
}

std::vector<Extended> negated_affine_keys(std::span<const PublicKey> keys) {
  std::vector<Point<Unknown>> points;
  points.reserve(keys.size());
  for (const PublicKey& key : keys) points.push_back(key.point);
  return negated_affine(std::move(points));
}

std::vector<Extended> negated_affine_r(std::span<const BatchSignature> sigs) {
  std::vector<Point<Unknown>> points;
  points.reserve(sigs.size());
  for (const BatchSignature& sig : sigs) points.push_back(sig.signature.r);
  return negated_affine(std::move(points));
}

std::vector<size_t> candidates(std::span<const BatchSignature> sigs, const SubgroupPoints& checked,
                               std::span<const uint8_t> in_subgroup) {
  if (in_subgroup.size() != checked.points.size()) fail_hard("assertion failed: a verdict per checked point");
  const size_t most_keys = checked.keys.empty() ? 0 : *std::max_element(checked.keys.begin(), checked.keys.end()) + 1;
  std::vector<uint8_t> key_ok(most_keys, 0);
  for (size_t j = 0; j < checked.keys.size(); ++j) key_ok[checked.keys[j]] = in_subgroup[j];
  std::vector<size_t> out;
  out.reserve(sigs.size());
  for (size_t i = 0; i < sigs.size(); ++i) {
    if (key_ok[sigs[i].key] == 0 || in_subgroup[checked.keys.size() + i] == 0) continue;
    out.push_back(i);
  }
  return out;
}

void weigh(const BatchSignature& sig, const FsRepr& weight, Fs& zs, Fs& zc) {
  const Fs z = Fs::from_raw(weight);
  zs = z * sig.signature.s;
  zc = z * to_uniform_32(sig.msg);
}

Combination::Combination(const Run& run, std::span<const size_t> members, bool indexed)
    : run_(run), members_(members), indexed_(indexed) {
  // Members are a run of consecutive signatures (the whole, a half, one):
  // their points, and without positions their weights, are read in place.
  bool consecutive = true;
  for (size_t p = 0; p < members.size() && consecutive; ++p) consecutive = members[p] == members[0] + p;
  copies_ = indexed || !consecutive;
  if (!copies_) return;
  r_points_.resize(members.size());
  r_scalars_.resize(members.size());
  if (indexed) {
    zs_at_.resize(members.size());
    zc_at_.resize(members.size());
  }
}

void Combination::fill(size_t first, size_t last) {
  for (size_t p = first; p < last; ++p) {
    const size_t m = members_[p];
    r_points_[p] = run_.neg_r[m];
    if (!indexed_) {
      r_scalars_[p] = run_.weights[m];
      continue;
    }
    const Fs position = Fs::from_u128(p + 1, 0);
    // Below 2^141 < s, so the residue is the integer.
    r_scalars_[p] = (Fs::from_raw(run_.weights[m]) * position).into_repr();
    zs_at_[p] = run_.zs[m] * position;
    zc_at_[p] = run_.zc[m] * position;
  }
}

void Combination::sum_keys() {
  std::vector<Fs> key_sum(run_.neg_keys.size(), Fs::zero());
  std::vector<uint8_t> seen(run_.neg_keys.size(), 0);
  std::vector<size_t> touched;
  for (size_t p = 0; p < members_.size(); ++p) {
    const size_t m = members_[p];
    g_.add_assign(indexed_ ? zs_at_[p] : run_.zs[m]);
    const size_t key = run_.sigs[run_.index[m]].key;
    if (seen[key] == 0) touched.push_back(key);
    seen[key] = 1;
    key_sum[key].add_assign(indexed_ ? zc_at_[p] : run_.zc[m]);
  }
  key_points_.reserve(touched.size());
  key_scalars_.reserve(touched.size());
  for (size_t k : touched) {
    key_points_.push_back(run_.neg_keys[k]);
    key_scalars_.push_back(key_sum[k].into_repr());
  }
}

MsmPlanVartime Combination::r_plan(MsmTables* tables) const {
  const size_t n = members_.size();
  const size_t start = n == 0 ? 0 : members_[0];
  const std::span<const Extended> points =
      copies_ ? std::span<const Extended>(r_points_) : run_.neg_r.subspan(start, n);
  const std::span<const FsRepr> scalars =
      copies_ ? std::span<const FsRepr>(r_scalars_) : run_.weights.subspan(start, n);
  return MsmPlanVartime(points, scalars, kWeightBits + (indexed_ ? kIndexBits : 0), kEdwardsD2,
                        MsmPlanVartime::Deferred{tables});
}

MsmPlanVartime Combination::key_plan(MsmTables* tables) const {
  return MsmPlanVartime(key_points_, key_scalars_, kFsBits, kEdwardsD2, MsmPlanVartime::Deferred{tables});
}

Extended Combination::g_term() const { return PointAccess::coords(signing_table().mul_lanes(g_)); }

Extended Combination::total(const Extended& keys, const Extended& r, const Extended& g) {
  return add_points(add_points(keys, r, kEdwardsD2), g, kEdwardsD2);
}

void resolve_vartime(const Combinations& combinations, std::span<const size_t> members, const Extended& sum,
                     std::span<const size_t> index, std::vector<bool>& out) {
  if (detail::is_identity_vartime(sum)) {
    for (size_t m : members) out[index[m]] = true;
    return;
  }
  if (members.size() == 1) return;
  if (members.size() >= kLoneSearchMin) {
    const Extended indexed = combinations.combination(members, true);
    Extended multiple = sum;
    for (size_t p = 0; p < members.size(); ++p) {
      if (equal(multiple, indexed)) {
        if (!equal(combinations.combination(members.subspan(p, 1), false), sum)) break;
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
  const Extended left_sum = combinations.combination(left, false);
  resolve_vartime(combinations, left, left_sum, index, out);
  resolve_vartime(combinations, right, add_points(sum, negate(left_sum), kEdwardsD2), index, out);
}

}  // namespace quillet::jubjub::batch
