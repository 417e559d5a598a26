#include "crypto/jubjub/batch_sign.hpp"

#include "crypto/failure.hpp"
#include "crypto/jubjub/fixed_base_lanes.hpp"
#include "crypto/jubjub/weights.hpp"
#include "crypto/secrets/declassify.hpp"
#include "crypto/secrets/wipe.hpp"

namespace quillet::jubjub::batch {

using detail::challenge;
using detail::nonce_of;
using detail::signature_scalar;
using secrets::declassify;
using secrets::WipeElementsOnExit;
using secrets::WipeOnExit;

static_assert(kSignLanes == fixed_base_lanes::kLanes);

void nonce_points(std::span<const Fs> nonces, std::span<RawSignature> sigs, cpu::LaneKernel kernel) {
  if (nonces.size() != sigs.size()) fail_hard("assertion failed: one signature per nonce");
  // Until normalised, the coordinates are the nonces' secrets.
  std::vector<Point<PrimeOrder>> points(nonces.size(), Point<PrimeOrder>::zero());
  const WipeElementsOnExit wipe_points(points);
  signing_table().mul_many(nonces, points, kernel);
  std::vector<Point<Unknown>> r(points.begin(), points.end());
  const WipeElementsOnExit wipe_r(r);
  // Normalised in constant time, the R may be handled as public.
  Point<Unknown>::normalize_batch(r);
  declassify(r.data(), r.size() * sizeof r[0]);
  for (size_t i = 0; i < r.size(); ++i) sigs[i].r = r[i];
}

void signature_scalars(const PrivateKey& sk, std::span<const Message> msgs, std::span<const Fs> nonces,
                       std::span<RawSignature> sigs) {
  if (msgs.size() != nonces.size() || msgs.size() != sigs.size()) {
    fail_hard("assertion failed: one signature per message and nonce");
  }
  for (size_t i = 0; i < msgs.size(); ++i) {
    sigs[i].s = signature_scalar(msgs[i], sk.value(), nonces[i]);
    declassify(&sigs[i].s, sizeof sigs[i].s);
  }
}

bool check_alone(const PrivateKey& sk, std::span<const uint8_t> msg, const RawSignature& sig) {
  Fs nonce = nonce_of(msg, sig.s, sk.value());
  const WipeOnExit<Fs> wipe_nonce(nonce);
  bool ok = signing_table().mul_lanes(nonce) == sig.r;
  declassify(&ok, sizeof ok);
  return ok;
}

SelfCheck::SelfCheck(const PrivateKey& sk, std::span<const Message> msgs, std::span<const RawSignature> sigs)
    : sk_(sk), msgs_(msgs), sigs_(sigs) {
  if (msgs.size() != sigs.size()) fail_hard("assertion failed: one signature per message");
}

bool SelfCheck::draw() {
  weights_.resize(msgs_.size());
  points_.resize(msgs_.size());
  return detail::draw_weights(weights_);
}

SelfCheck::Sums SelfCheck::sums(size_t first, size_t last) {
  // Summed in locals, returned once: the parts of all ranges would share a
  // cache line, which threads adding into it per item would pass back and
  // forth.
  Sums out;
  for (size_t i = first; i < last; ++i) {
    const Fs z = Fs::from_raw(weights_[i]);
    out.zs.add_assign(z * sigs_[i].s);
    out.zc.add_assign(z * challenge(msgs_[i]));
    points_[i] = detail::PointAccess::coords(sigs_[i].r);
  }
  return out;
}

detail::MsmPlanVartime SelfCheck::public_side() const {
  return detail::MsmPlanVartime(points_, weights_, detail::kWeightBits, kEdwardsD2);
}

Point<Unknown> SelfCheck::secret_side(const Sums& total) const {
  Fs scalar = total.zc;
  const WipeOnExit<Fs> wipe_scalar(scalar);
  scalar.mul_assign(sk_.value());
  scalar.negate();
  scalar.add_assign(total.zs);
  return Point<Unknown>(signing_table().mul_lanes(scalar));
}

bool SelfCheck::agree(const Point<Unknown>& secret, const detail::Extended& public_sum) {
  bool holds = secret == detail::PointAccess::make<Unknown>(public_sum);
  declassify(&holds, sizeof holds);
  return holds;
}

}  // namespace quillet::jubjub::batch
