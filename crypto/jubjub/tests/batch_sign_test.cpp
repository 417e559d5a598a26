// Batch signing's steps composed plainly on one thread: signing alone's
// signatures however the ranges are cut, the combined self-check's verdict
// against each signature's own, and the hard failures of steps handed
// mismatched inputs.
#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "crypto/jubjub/batch_sign.hpp"
#include "crypto/jubjub/tests/test_support.hpp"

namespace quillet::jubjub {
namespace {

using batch::SelfCheck;
using testing::batch_messages;
using testing::field_from_hex;
using testing::hard_failure_text;
using testing::to_hex;

constexpr const char* kKey = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// The nonces over one range, then R and S over ranges ending at each of
// `cuts` and at the last message.
std::vector<RawSignature> sign_by_steps(const PrivateKey& sk, std::span<const Message> msgs, std::vector<size_t> cuts,
                                        cpu::LaneKernel kernel) {
  std::vector<Fs> nonces(msgs.size(), Fs::zero());
  MessageRange all(0, msgs.size());
  deterministic_nonces(sk, msgs, nonces, all);
  std::vector<RawSignature> sigs(msgs.size(), RawSignature{Point<Unknown>::zero(), Fs::zero()});
  cuts.push_back(msgs.size());
  size_t first = 0;
  for (size_t last : cuts) {
    const std::span<const Fs> k = std::span<const Fs>(nonces).subspan(first, last - first);
    const std::span<RawSignature> out = std::span(sigs).subspan(first, last - first);
    batch::nonce_points(k, out, kernel);
    batch::signature_scalars(sk, msgs.subspan(first, last - first), k, out);
    first = last;
  }
  return sigs;
}

// The combined self-check's verdict, its sums cut at `cut`.
bool self_check_holds(const PrivateKey& sk, std::span<const Message> msgs, std::span<const RawSignature> sigs,
                      size_t cut) {
  SelfCheck check(sk, msgs, sigs);
  EXPECT_TRUE(check.draw());
  SelfCheck::Sums total = check.sums(0, cut);
  total.add(check.sums(cut, msgs.size()));
  detail::MsmPlanVartime plan = check.public_side();
  std::vector<detail::Extended> sums(plan.pieces());
  for (size_t i = 0; i < sums.size(); ++i) sums[i] = plan.piece(i);
  return SelfCheck::agree(check.secret_side(total), plan.combine(sums));
}

TEST(BatchSignSteps, PlainlyComposedTheyGiveSigningAlonesSignatures) {
  const Fs keys[] = {Fs::one(), -Fs::one(), field_from_hex<Fs>(kKey)};
  // Counts and cuts: none, within a lane group, at its end, past it.
  struct Run {
    size_t n;
    std::vector<size_t> cuts;
  };
  const Run runs[] = {{0, {}}, {1, {}}, {9, {}}, {9, {8}}, {9, {3, 5}}, {17, {1, 16}}};
  for (cpu::LaneKernel kernel : {cpu::LaneKernel::scalar, cpu::LaneKernel::emulated, cpu::LaneKernel::ifma}) {
    if (!cpu::runs(kernel)) continue;
    for (const Fs& key : keys) {
      const PrivateKey sk(key);
      for (const Run& run : runs) {
        const std::vector<Message> msgs = batch_messages(run.n);
        const std::vector<RawSignature> sigs = sign_by_steps(sk, msgs, run.cuts, kernel);
        for (size_t i = 0; i < run.n; ++i) {
          const CheckedSignature alone = sk.sign_and_check(msgs[i], deterministic_nonce(sk, msgs[i]));
          EXPECT_EQ(to_hex(sigs[i].r.encode()), to_hex(alone.signature.r.encode()))
              << cpu::lane_kernel_name(kernel) << " " << run.n << " " << i;
          EXPECT_EQ(sigs[i].s, alone.signature.s);
          EXPECT_TRUE(batch::check_alone(sk, msgs[i], sigs[i]));
        }
        if (run.n != 0) EXPECT_TRUE(self_check_holds(sk, msgs, sigs, run.n / 2)) << run.n;
      }
    }
  }
}

TEST(BatchSignSteps, TheSelfCheckRefusesWhatCheckingAloneRefuses) {
  const PrivateKey sk(field_from_hex<Fs>(kKey));
  const std::vector<Message> msgs = batch_messages(6);
  const std::vector<RawSignature> good = sign_by_steps(sk, msgs, {}, cpu::LaneKernel::scalar);
  // Each spoils item 2 (or none) in its own way; every R stays a multiple of G.
  struct Spoil {
    const char* what;
    std::function<void(RawSignature&)> apply;
  };
  const Spoil spoils[] = {
      {"none", [](RawSignature&) {}},
      {"S off by one", [](RawSignature& s) { s.s.add_assign(Fs::one()); }},
      {"S negated", [](RawSignature& s) { s.s.negate(); }},
      {"another item's R", [&](RawSignature& s) { s.r = good[3].r; }},
      {"R negated", [](RawSignature& s) { s.r = s.r.negate(); }},
      {"another item's R and S", [&](RawSignature& s) { s = good[4]; }},
  };
  for (const Spoil& spoil : spoils) {
    std::vector<RawSignature> sigs = good;
    spoil.apply(sigs[2]);
    const bool wrong = std::string(spoil.what) != "none";
    for (size_t i = 0; i < msgs.size(); ++i) EXPECT_EQ(batch::check_alone(sk, msgs[i], sigs[i]), i != 2 || !wrong);
    for (size_t cut : {size_t{0}, size_t{2}, size_t{3}, size_t{6}}) {
      EXPECT_EQ(self_check_holds(sk, msgs, sigs, cut), !wrong) << spoil.what << " cut at " << cut;
    }
  }
}

TEST(BatchSignSteps, MismatchedInputsFailHard) {
  const PrivateKey sk(Fs::one());
  const std::vector<Message> msgs = batch_messages(3);
  std::vector<Fs> nonces(3, Fs::one());
  std::vector<RawSignature> sigs(2, RawSignature{Point<Unknown>::zero(), Fs::zero()});
  struct Case {
    const char* text;
    std::function<void()> call;
  };
  const Case cases[] = {
      {"assertion failed: one signature per nonce",
       [&] { batch::nonce_points(nonces, sigs, cpu::LaneKernel::scalar); }},
      {"assertion failed: one signature per message and nonce", [&] { batch::signature_scalars(sk, msgs, nonces, sigs); }},
      {"assertion failed: one signature per message", [&] { SelfCheck(sk, msgs, sigs); }},
      {"assertion failed: one nonce per message",
       [&] {
         MessageRange all(0, 3);
         deterministic_nonces(sk, msgs, std::span(nonces).first(2), all);
       }},
      {"assertion failed: a queued message of the batch",
       [&] {
         MessageRange beyond(2, 4);
         deterministic_nonces(sk, msgs, nonces, beyond);
       }},
  };
  for (const Case& c : cases) EXPECT_EQ(hard_failure_text(c.call), c.text);
}

}  // namespace
}  // namespace quillet::jubjub
