// Signing many messages under one key at once, as steps, each pure and the
// size of a stage's piece; which run together, on which threads and cut how
// finely is the caller's schedule (sdk/src/batch/sign_schedule.hpp). The
// signatures do not depend on it: each is sign_and_check's, byte for byte.
// In order:
//
// 1. the nonces, deterministic_nonces (nonce.hpp) over a MessageQueue;
// 2. for ranges of them, R (nonce_points) and S (signature_scalars);
// 3. the combined self-check, SelfCheck, or where it does not hold each
//    signature's own, check_alone.
//
// Constant time in the key and the nonces; R and S are public once made
// (declassified). The caller wipes the nonces it keeps between steps.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "crypto/cpu/cpu.hpp"
#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/msm/msm.hpp"

namespace quillet::jubjub::batch {

// The curve's parts the steps take and give.
using detail::Extended;
using detail::MsmPlanVartime;

// How many R the signing table's lanes make at once: ranges of nonces cut at
// its multiples keep the lanes full.
inline constexpr size_t kSignLanes = 8;

// sigs[i].r = nonces[i]·G (spans of one length) by the signing table's
// lanes on `kernel` (FixedBaseTable::mul_many), normalised together by one
// inversion: the normal form does not depend on how the points were
// grouped. Fails hard on mismatched lengths. Constant time in the nonces.
void nonce_points(std::span<const Fs> nonces, std::span<RawSignature> sigs, cpu::LaneKernel kernel);

// sigs[i].s = c_i·sk + nonces[i], c_i the challenge of msgs[i] (spans of
// one length). Fails hard on mismatched lengths. Constant time in sk and the
// nonces.
void signature_scalars(const PrivateKey& sk, std::span<const Message> msgs, std::span<const Fs> nonces,
                       std::span<RawSignature> sigs);

// Whether (S - c·sk)·G = R for the signature (R normalised, S) of `msg`:
// sign_and_check's verdict, exactly. Constant time in sk.
bool check_alone(const PrivateKey& sk, std::span<const uint8_t> msg, const RawSignature& sig);

// The combined self-check of the signatures (R normalised, S) of msgs under
// sk: whether each (S - c·sk)·G = R, all together. With random 128-bit
// weights z_i, (sum of z_i·S_i - (sum of z_i·c_i)·sk)·G in constant time
// (the secret side) against the sum of z_i·R_i (the public side, a
// variable-time multi-scalar multiplication: R and S are public); a wrong
// signature passes with probability at most 2^-128 (its term is a point of
// order s, cancelled by one z_i modulo s at most). Each R must be a multiple
// of G, as signing makes it: torsion in R could vanish in the combination.
// When the generator fails or the sides differ, each signature is checked
// alone (check_alone).
//
// The steps, in order: draw(); sums() over disjoint ranges (at once), their
// parts added; then public_side(); then the plan's pieces and secret_side()
// (at once); then agree(). The spans must outlive the check, and it the plan.
class SelfCheck {
 public:
  // Fails hard on mismatched lengths.
  SelfCheck(const PrivateKey& sk, std::span<const Message> msgs, std::span<const RawSignature> sigs);

  // Draws the weights; false if the generator fails.
  bool draw();

  // The sums of z_i·S_i and z_i·c_i over some signatures: public.
  struct Sums {
    Fs zs = Fs::zero();
    Fs zc = Fs::zero();
    void add(const Sums& o) {
      zs.add_assign(o.zs);
      zc.add_assign(o.zc);
    }
  };
  // The sums over signatures first .. last - 1, their R made the public
  // side's points.
  Sums sums(size_t first, size_t last);

  // The public side, as a multiplication cut into pieces, over every
  // signature's weight and R.
  MsmPlanVartime public_side() const;
  // The secret side for the sums over every signature. Its scalar is wiped
  // before it returns, on every path.
  Point<Unknown> secret_side(const Sums& total) const;
  // Whether the sides agree: the one fact about the secret side made public.
  static bool agree(const Point<Unknown>& secret, const Extended& public_sum);

 private:
  const PrivateKey& sk_;
  std::span<const Message> msgs_;
  std::span<const RawSignature> sigs_;
  std::vector<FsRepr> weights_;
  std::vector<Extended> points_;
};

}  // namespace quillet::jubjub::batch
