#include "sdk/src/batch/sign_schedule.hpp"

#include <algorithm>
#include <atomic>

#include "crypto/secrets/wipe.hpp"

namespace quillet::sdk {
namespace {

namespace batch = jubjub::batch;
using jubjub::CheckedSignature;
using jubjub::Fs;
using jubjub::Message;
using jubjub::PrivateKey;
using jubjub::RawSignature;

// The messages of the nonces' stage, taken from one counter by every thread
// as its derivations end: the rejection rounds make their cost uneven, so
// ranges fixed in advance would leave threads idle.
class SharedMessages final : public jubjub::MessageQueue {
 public:
  explicit SharedMessages(size_t count) : count_(count) {}
  size_t take() override {
    const size_t i = next_.fetch_add(1, std::memory_order_relaxed);
    return i < count_ ? i : kNone;
  }

 private:
  std::atomic<size_t> next_{0};
  size_t count_;
};

// R and S by whole lane groups, one range per thread: every nonce costs the
// same there.
constexpr unsigned kLaneRangesPerThread = 1;
// Signatures checked alone (the rare fallback): several ranges per thread,
// so that a thread that starts late holds the stage up for less.
constexpr unsigned kAloneRangesPerThread = 4;

}  // namespace

std::vector<CheckedSignature> sign_and_check_many(const PrivateKey& sk, std::span<const Message> msgs,
                                                  cpu::LaneKernel kernel, const Spread& spread) {
  const size_t n = msgs.size();
  // The nonces first, each thread deriving two side by side.
  std::vector<Fs> nonces(n, Fs::zero());
  const secrets::WipeElementsOnExit wipe_nonces(nonces);  // however the stages end
  SharedMessages queue(n);
  spread.for_each(spread.width(), [&](size_t) { jubjub::deterministic_nonces(sk, msgs, nonces, queue); });
  // Then R and S, one range of whole lane groups per thread (the same work
  // for every nonce), each range's R normalised by its own inversion.
  std::vector<RawSignature> sigs(n, RawSignature{jubjub::Point<jubjub::Unknown>::zero(), Fs::zero()});
  constexpr size_t kGroup = batch::kSignLanes;
  spread.for_ranges((n + kGroup - 1) / kGroup, kLaneRangesPerThread, [&](size_t first_group, size_t last_group) {
    const size_t first = first_group * kGroup;
    const size_t count = std::min(n, last_group * kGroup) - first;
    const std::span<const Fs> k = std::span<const Fs>(nonces).subspan(first, count);
    const std::span<RawSignature> out = std::span(sigs).subspan(first, count);
    batch::nonce_points(k, out, kernel);
    batch::signature_scalars(sk, msgs.subspan(first, count), k, out);
  });
  secrets::wipe(nonces.data(), nonces.size() * sizeof nonces[0]);
  const std::vector<bool> verifies = check_own_signatures(sk, msgs, sigs, spread);
  std::vector<CheckedSignature> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back({std::nullopt, sigs[i], verifies[i]});
  return out;
}

std::vector<bool> check_own_signatures(const PrivateKey& sk, std::span<const Message> msgs,
                                       std::span<const RawSignature> sigs, const Spread& spread) {
  batch::SelfCheck check(sk, msgs, sigs);
  const size_t n = msgs.size();
  if (n != 0 && check.draw()) {
    // The sums by ranges, added in order.
    const size_t ranges = std::min<size_t>(n, spread.width());
    std::vector<batch::SelfCheck::Sums> parts(ranges);
    spread.for_each(ranges, [&](size_t k) { parts[k] = check.sums(k * n / ranges, (k + 1) * n / ranges); });
    batch::SelfCheck::Sums total;
    for (const batch::SelfCheck::Sums& part : parts) total.add(part);
    // The secret side is one more piece beside the public side's windows
    // (G's is short beside a pass: on two threads an odd pass out is cut in
    // halves); then the windows are combined (the doublings).
    batch::MsmPlanVartime plan = check.public_side();
    if (spread.width() == 2 && plan.passes() % 2 == 1) plan.split_passes(1);
    std::vector<batch::Extended> window_sums(plan.pieces());
    jubjub::Point<jubjub::Unknown> secret = jubjub::Point<jubjub::Unknown>::zero();
    const auto secret_side = [&](size_t) { secret = check.secret_side(total); };
    const auto window = [&](size_t i) { window_sums[i] = plan.piece(i); };
    spread.for_stage(Pieces{size_t{1}, secret_side}, Pieces{window_sums.size(), window});
    if (batch::SelfCheck::agree(secret, plan.combine(window_sums))) return std::vector<bool>(n, true);
  }
  std::vector<uint8_t> verifies(n, 0);
  spread.for_ranges(n, kAloneRangesPerThread, [&](size_t first, size_t last) {
    for (size_t i = first; i < last; ++i) verifies[i] = batch::check_alone(sk, msgs[i], sigs[i]) ? 1 : 0;
  });
  return std::vector<bool>(verifies.begin(), verifies.end());
}

}  // namespace quillet::sdk
