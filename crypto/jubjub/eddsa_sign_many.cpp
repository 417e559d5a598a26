// Batch signing: the signatures of many messages under one key, made
// together, and their combined self-check.
#include <algorithm>
#include <atomic>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/fixed_base_lanes.hpp"
#include "crypto/jubjub/msm/msm.hpp"
#include "crypto/jubjub/weights.hpp"
#include "crypto/secrets/declassify.hpp"
#include "crypto/secrets/wipe.hpp"

namespace quillet::jubjub {

using detail::challenge;
using detail::nonce_of;
using detail::signature_scalar;
using secrets::declassify;
using secrets::wipe;
using secrets::wipe_value;

std::vector<CheckedSignature> PrivateKey::sign_and_check_many(std::span<const Message> msgs, cpu::LaneKernel kernel,
                                                              const Spread& spread) const {
  const size_t n = msgs.size();
  // The nonces first, each thread deriving two side by side and taking the
  // next message as one ends: the rejection rounds make their cost uneven.
  std::vector<Fs> nonces(n, Fs::zero());
  // Wiped however the stages end (a stage rethrows a piece's exception).
  struct WipeNonces {
    std::vector<Fs>& v;
    ~WipeNonces() { wipe(v.data(), v.size() * sizeof v[0]); }
  } wipe_nonces{nonces};
  std::atomic<size_t> next{0};
  spread.for_each(spread.width(), [&](size_t) { deterministic_nonces(*this, msgs, nonces, next); });
  // Then R and S, one range of whole lane groups per thread (the same work
  // for every nonce), each range's R normalised by its own inversion: the
  // normal form does not depend on how the points were grouped.
  std::vector<RawSignature> sigs(n, RawSignature{Point<Unknown>::zero(), Fs::zero()});
  const FixedBaseTable& table = signing_table();
  constexpr size_t kGroup = fixed_base_lanes::kLanes;
  spread.for_ranges((n + kGroup - 1) / kGroup, 1, [&](size_t first_group, size_t last_group) {
    const size_t first = first_group * kGroup;
    const size_t last = std::min(n, last_group * kGroup);
    const std::span<const Fs> k = std::span<const Fs>(nonces).subspan(first, last - first);
    std::vector<Point<PrimeOrder>> nonce_points(k.size(), Point<PrimeOrder>::zero());
    table.mul_many(k, nonce_points, kernel);
    std::vector<Point<Unknown>> r(nonce_points.begin(), nonce_points.end());
    wipe(nonce_points.data(), nonce_points.size() * sizeof nonce_points[0]);
    for (size_t i = first; i < last; ++i) {
      sigs[i].s = signature_scalar(msgs[i], sk_, nonces[i]);
      declassify(&sigs[i].s, sizeof sigs[i].s);
    }
    // Normalised in constant time, the R may be handled as public.
    Point<Unknown>::normalize_batch(r);
    declassify(r.data(), r.size() * sizeof r[0]);
    for (size_t i = first; i < last; ++i) sigs[i].r = r[i - first];
  });
  wipe(nonces.data(), nonces.size() * sizeof nonces[0]);
  const std::vector<bool> verifies = check_own_signatures(msgs, sigs, spread);
  std::vector<CheckedSignature> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back({std::nullopt, sigs[i], verifies[i]});
  return out;
}

std::vector<bool> PrivateKey::check_own_signatures(std::span<const Message> msgs, std::span<const RawSignature> sigs,
                                                   const Spread& spread) const {
  if (msgs.size() != sigs.size()) fail_hard("assertion failed: one signature per message");
  const FixedBaseTable& table = signing_table();
  const size_t n = msgs.size();
  std::vector<bool> out(n, true);
  std::vector<FsRepr> scalars(n);
  if (n != 0 && detail::draw_weights(scalars)) {
    // z_i·R_i by one public multi-scalar multiplication, against
    // (sum of z_i·S_i - (sum of z_i·c_i)·sk)·G by one secret one. The sums
    // by ranges (all public: the S and weights are), added in order.
    std::vector<detail::Extended> points(n);
    const size_t ranges = std::min<size_t>(n, spread.width());
    std::vector<Fs> part_zs(ranges, Fs::zero());
    std::vector<Fs> part_zc(ranges, Fs::zero());
    spread.for_each(ranges, [&](size_t k) {
      // Summed in locals, stored once: the parts of all ranges share a cache
      // line, which threads adding into it per item would pass back and forth.
      Fs zs_part = Fs::zero();
      Fs zc_part = Fs::zero();
      for (size_t i = k * n / ranges; i < (k + 1) * n / ranges; ++i) {
        const Fs z = Fs::from_raw(scalars[i]);
        zs_part.add_assign(z * sigs[i].s);
        zc_part.add_assign(z * challenge(msgs[i]));
        points[i] = detail::PointAccess::coords(sigs[i].r);
      }
      part_zs[k] = zs_part;
      part_zc[k] = zc_part;
    });
    Fs zs = Fs::zero();
    Fs zc = Fs::zero();
    for (size_t k = 0; k < ranges; ++k) {
      zs.add_assign(part_zs[k]);
      zc.add_assign(part_zc[k]);
    }
    zc.mul_assign(sk_);
    zs.sub_assign(zc);
    wipe_value(zc);
    // The secret multiplication is one more piece beside the windows of
    // the public one; then the windows are combined (the doublings).
    detail::MsmPlanVartime plan(points, scalars, detail::kWeightBits, kEdwardsD2);
    // An odd pass out between two threads is cut in halves (G's piece is
    // short beside a pass).
    if (spread.width() == 2 && plan.passes() % 2 == 1) plan.split_passes(1);
    std::vector<detail::Extended> sums(plan.pieces());
    Point<Unknown> combined = Point<Unknown>::zero();
    spread.for_each(sums.size() + 1, [&](size_t i) {
      if (i == 0) {
        combined = Point<Unknown>(table.mul_lanes(zs));
      } else {
        sums[i - 1] = plan.piece(i - 1);
      }
    });
    wipe_value(zs);
    bool holds = combined == detail::PointAccess::make<Unknown>(plan.combine(sums));
    declassify(&holds, sizeof holds);
    if (holds) return out;
  }
  std::vector<uint8_t> verifies(n, 0);
  spread.for_ranges(n, 4, [&](size_t first, size_t last) {
    for (size_t i = first; i < last; ++i) {
      Fs nonce = nonce_of(msgs[i], sigs[i].s, sk_);
      bool ok = table.mul_lanes(nonce) == sigs[i].r;
      wipe_value(nonce);
      declassify(&ok, sizeof ok);
      verifies[i] = ok ? 1 : 0;
    }
  });
  for (size_t i = 0; i < n; ++i) out[i] = verifies[i] != 0;
  return out;
}

}  // namespace quillet::jubjub
