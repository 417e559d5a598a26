#include "crypto/jubjub/batch_verify.hpp"

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

#include "crypto/failure.hpp"
#include "crypto/jubjub/bucket_msm.hpp"
#include "crypto/jubjub/msm.hpp"

namespace quillet::jubjub {
namespace {

using detail::Extended;
using detail::PointAccess;

constexpr size_t kWeightBytes = 16;
// Scalars modulo s are below 2^252.
constexpr unsigned kFsBits = 252;

Extended add_points(const Extended& p, const Extended& q, const Fr& d2) {
  return detail::to_extended(detail::add(p, detail::to_cached(q, d2)));
}

Extended negate(const Extended& p) { return {-p.x, p.y, -p.t, p.z}; }

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

// One run of signatures whose R and key lie in the prime-order subgroup,
// with their weights.
class Run {
 public:
  Run(const std::vector<Extended>& neg_keys, uint8_t generator, const AltJubjubBn256& params)
      : neg_keys_(neg_keys), generator_(generator), params_(params), d2_(params.edwards_d() + params.edwards_d()) {}

  void add(const BatchSignature& sig, const Extended& neg_r, const uint8_t* weight) {
    FsRepr z{};
    std::memcpy(z.data(), weight, kWeightBytes);
    const Fs zf = Fs::from_raw(z);
    weights_.push_back(z);
    neg_r_.push_back(neg_r);
    zs_.push_back(zf * sig.signature.s);
    zc_.push_back(zf * to_uniform_32(sig.msg));
    key_.push_back(sig.key);
  }

  size_t size() const { return weights_.size(); }

  // The sum over `members` of z_i·(S_i·G - R_i - c_i·A_i).
  Extended combination(std::span<const size_t> members) const {
    Fs g = Fs::zero();
    std::vector<Extended> points;
    std::vector<FsRepr> scalars;
    points.reserve(members.size());
    scalars.reserve(members.size());
    std::vector<Fs> key_sum(neg_keys_.size(), Fs::zero());
    std::vector<uint8_t> seen(neg_keys_.size(), 0);
    std::vector<size_t> touched;
    for (size_t m : members) {
      g.add_assign(zs_[m]);
      points.push_back(neg_r_[m]);
      scalars.push_back(weights_[m]);
      if (seen[key_[m]] == 0) touched.push_back(key_[m]);
      seen[key_[m]] = 1;
      key_sum[key_[m]].add_assign(zc_[m]);
    }
    Extended sum = detail::msm_vartime(points, scalars, 8 * kWeightBytes, d2_);
    points.clear();
    scalars.clear();
    for (size_t k : touched) {
      points.push_back(neg_keys_[k]);
      scalars.push_back(key_sum[k].into_repr());
    }
    sum = add_points(sum, detail::msm_vartime(points, scalars, kFsBits, d2_), d2_);
    const FixedBaseTable* table = params_.fixed_base_table(generator_);
    const Point<PrimeOrder> gs = table != nullptr ? table->mul(g) : params_.generator(generator_).mul_vartime(g, params_);
    return add_points(sum, PointAccess::coords(gs), d2_);
  }

  // Marks `members` (whose combination is `sum`) in `out`, through
  // `index`: all verify if the sum vanishes; a single member whose term
  // does not vanish does not verify; otherwise each half is resolved.
  void resolve(std::span<const size_t> members, const Extended& sum, std::span<const size_t> index,
               std::vector<bool>& out) const {
    if (detail::is_identity_vartime(sum)) {
      for (size_t m : members) out[index[m]] = true;
      return;
    }
    if (members.size() == 1) return;
    const auto left = members.first(members.size() / 2);
    const auto right = members.subspan(left.size());
    const Extended left_sum = combination(left);
    resolve(left, left_sum, index, out);
    resolve(right, add_points(sum, negate(left_sum), d2_), index, out);
  }

 private:
  const std::vector<Extended>& neg_keys_;
  uint8_t generator_;
  const AltJubjubBn256& params_;
  Fr d2_;
  std::vector<FsRepr> weights_;
  std::vector<Extended> neg_r_;
  std::vector<Fs> zs_;
  std::vector<Fs> zc_;
  std::vector<size_t> key_;
};

}  // namespace

std::vector<bool> verify_batch_vartime(std::span<const PublicKey> keys, std::span<const BatchSignature> sigs,
                                       uint8_t generator, const AltJubjubBn256& params) {
  for (const BatchSignature& sig : sigs) {
    if (sig.key >= keys.size()) fail_hard("assertion failed: batch key index in range");
  }
  std::vector<bool> out(sigs.size(), false);
  // Each key's subgroup check, once, for the keys in use.
  enum : uint8_t { kUnchecked, kInSubgroup, kOutside };
  std::vector<uint8_t> key_state(keys.size(), kUnchecked);
  for (const BatchSignature& sig : sigs) {
    uint8_t& state = key_state[sig.key];
    if (state == kUnchecked) {
      state = keys[sig.key].point.is_in_prime_order_subgroup_vartime(params) ? kInSubgroup : kOutside;
    }
  }
  std::vector<Point<Unknown>> key_points(keys.size(), Point<Unknown>::zero());
  for (size_t k = 0; k < keys.size(); ++k) {
    if (key_state[k] == kInSubgroup) key_points[k] = keys[k].point;
  }
  const std::vector<Extended> neg_keys = negated_affine(std::move(key_points));

  // With its key in the subgroup, a signature whose R is not cannot verify
  // (S·G - c·A is in it); the others enter the combination.
  std::vector<size_t> candidates;
  std::vector<Point<Unknown>> r_points;
  for (size_t i = 0; i < sigs.size(); ++i) {
    if (key_state[sigs[i].key] != kInSubgroup) continue;
    if (!sigs[i].signature.r.is_in_prime_order_subgroup_vartime(params)) continue;
    candidates.push_back(i);
    r_points.push_back(sigs[i].signature.r);
  }
  const std::vector<Extended> neg_r = negated_affine(std::move(r_points));

  std::vector<uint8_t> weights;
  for (size_t start = 0; start < candidates.size(); start += kMaxBatchRun) {
    const std::span<const size_t> index = std::span(candidates).subspan(start, std::min(kMaxBatchRun, candidates.size() - start));
    weights.resize(index.size() * kWeightBytes);
    if (RAND_bytes(weights.data(), static_cast<int>(weights.size())) != 1) {
      for (size_t i : index) {
        out[i] = keys[sigs[i].key].verify_for_raw_message(sigs[i].msg, sigs[i].signature, generator, params,
                                                         kMaxMessageSize);
      }
      continue;
    }
    Run run(neg_keys, generator, params);
    for (size_t m = 0; m < index.size(); ++m) run.add(sigs[index[m]], neg_r[start + m], &weights[m * kWeightBytes]);
    std::vector<size_t> members(index.size());
    for (size_t m = 0; m < members.size(); ++m) members[m] = m;
    run.resolve(members, run.combination(members), index, out);
  }
  return out;
}

}  // namespace quillet::jubjub
