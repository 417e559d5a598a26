// The bucket multi-scalar multiplication against a sum of plain
// multiplications, and batch verification against verifying each signature.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <tuple>
#include <vector>

#include "crypto/jubjub/batch_verify.hpp"
#include "crypto/jubjub/msm/msm.hpp"
#include "crypto/jubjub/subgroup.hpp"
#include "crypto/jubjub/tests/reference.hpp"
#include "crypto/spread/tests/test_support.hpp"

namespace quillet::jubjub {
namespace {

using reference::Rng;

const AltJubjubBn256& params() { return jubjub_params(); }

TEST(BucketMsm, EqualsSumOfProductsForEveryWindow) {
  Rng rng(19);
  const Fr d2 = kEdwardsD2;
  // Points of any order: the scalars count as integers, not residues.
  std::vector<detail::Extended> points;
  std::vector<Point<Unknown>> plain;
  for (size_t i = 0; i < 70; ++i) {
    plain.push_back(rng.point(params()));
    points.push_back(detail::PointAccess::coords(plain.back()));
  }
  for (const unsigned bits : {128u, 252u}) {
    std::vector<FsRepr> scalars;
    for (size_t i = 0; i < points.size(); ++i) {
      FsRepr k = rng.repr();
      for (unsigned b = bits; b < 256; ++b) k[b / 64] &= ~(uint64_t{1} << (b % 64));
      if (i == 0) k = FsRepr{};
      if (i == 1) k = FsRepr{~0ULL, ~0ULL, bits > 128 ? ~0ULL : 0, bits > 128 ? (~0ULL >> 4) : 0};  // all ones
      scalars.push_back(k);
    }
    for (const size_t n : {size_t{0}, size_t{1}, size_t{5}, points.size()}) {
      Point<Unknown> expected = Point<Unknown>::zero();
      for (size_t i = 0; i < n; ++i) expected = expected.add(reference::mul(plain[i], scalars[i], params()), params());
      for (const unsigned window : {0u, 2u, 5u, 9u, detail::msm_window(n, bits)}) {
        const auto got = detail::msm_with_window_vartime(std::span(points).first(n), std::span(scalars).first(n), bits,
                                                         window, d2);
        EXPECT_TRUE(detail::PointAccess::make<Unknown>(got) == expected) << n << " terms, window " << window;
      }
    }
  }
}

// The buckets in lanes against the scalar buckets, on every lane kernel here
// (the emulated one under the checked policy in builds with tests): random
// points of any order, the neutral point, repeats, a point and its
// negation, zero and all-ones scalars; counts about a full run of lanes.
// One case per scalar size and term count, so that ctest runs them in
// parallel (slow under the sanitizers and emulation).
class BucketMsmLanes : public ::testing::TestWithParam<std::tuple<unsigned, size_t>> {};

TEST_P(BucketMsmLanes, LanesEqualTheScalarBuckets) {
  const auto [bits, n] = GetParam();
  Rng rng(23);
  const Fr d2 = kEdwardsD2;
  std::vector<detail::Extended> points;
  for (size_t i = 0; i < 1000; ++i) {
    switch (i % 8) {
      case 0: points.push_back(detail::identity_extended()); break;
      case 2: points.push_back(points[i - 1]); break;
      case 3: points.push_back(detail::negate(points[i - 2])); break;
      default: points.push_back(detail::PointAccess::coords(rng.point(params())));
    }
  }
  // Tables kept from plan to plan, as batch verification keeps them: what
  // an earlier plan (another window or kernel) left in them must not matter.
  detail::MsmTables kept;
  std::vector<FsRepr> scalars;
  for (size_t i = 0; i < points.size(); ++i) {
    FsRepr k = i % 5 == 0 ? FsRepr{} : i % 7 == 0 ? FsRepr{~0ULL, ~0ULL, ~0ULL, ~0ULL} : rng.repr();
    for (unsigned b = bits; b < 256; ++b) k[b / 64] &= ~(uint64_t{1} << (b % 64));
    scalars.push_back(k);
  }
  const auto p = std::span(points).first(n);
  const auto k = std::span(scalars).first(n);
  for (const unsigned window : {2u, 6u, 9u}) {
    if (n == points.size() && window == 2) continue;  // slow emulated, nothing new
    const auto want = detail::PointAccess::make<Unknown>(detail::msm_with_window_vartime(p, k, bits, window, d2));
    for (const cpu::LaneKernel kernel : {cpu::LaneKernel::emulated, cpu::LaneKernel::ifma}) {
      if (!cpu::lane_kernel_runs(kernel)) continue;
      // With none, one or every pass cut in halves; made whole, or in
      // three parts out of order in the kept tables.
      for (const size_t split : {size_t{0}, size_t{1}, size_t{99}}) {
        const bool parts = split == 1;
        std::optional<detail::MsmPlanVartime> made;
        if (parts) {
          made.emplace(p, k, bits, window, d2, kernel, detail::MsmPlanVartime::Deferred{&kept});
          made->make(2 * n / 3, n);
          made->make(0, n / 3);
          made->make(n / 3, 2 * n / 3);
        } else {
          made.emplace(p, k, bits, window, d2, kernel);
        }
        detail::MsmPlanVartime& plan = *made;
        plan.split_passes(split);
        std::vector<detail::Extended> sums(plan.pieces());
        for (size_t i = 0; i < sums.size(); ++i) sums[i] = plan.piece(i);
        EXPECT_TRUE(detail::PointAccess::make<Unknown>(plan.combine(sums)) == want)
            << cpu::lane_kernel_name(kernel) << " " << bits << " bits, " << n << " terms, window " << window
            << ", split " << split;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BucketMsm, BucketMsmLanes,
                         ::testing::Combine(::testing::Values(128u, 252u),
                                            ::testing::Values(size_t{1}, size_t{2}, size_t{255}, size_t{256},
                                                            size_t{1000})));

// Signatures of each kind a batch may hold, with the key each one is under.
struct Case {
  const char* what;
  PublicKey key;
  BatchSignature sig;
};

std::vector<Case> cases(Rng& rng) {
  const Point<Unknown> t8 = reference::order_eight_point(rng, params());
  const Point<Unknown> t2 = t8.double_().double_();
  std::vector<Case> out;
  for (int k = 0; k < 3; ++k) {
    const Fs sk = rng.scalar();
    const PublicKey key = PublicKey::derive(PrivateKey(sk));
    const auto sign = [&](const std::array<uint8_t, 32>& msg) {
      return reference::sign(sk, msg, rng.scalar(), params());
    };
    const std::array<uint8_t, 32> msg = rng.bytes();
    const RawSignature good = sign(msg);
    RawSignature bad_s = good;
    bad_s.s.add_assign(Fs::one());
    std::array<uint8_t, 32> other_msg = msg;
    other_msg[3] ^= 1;
    const auto with = [&](const char* what, const PublicKey& a, const RawSignature& s,
                          const std::array<uint8_t, 32>& m) { out.push_back({what, a, {s, m, 0}}); };
    with("valid", key, good, msg);
    with("signature of another message", key, sign(rng.bytes()), msg);
    with("wrong S", key, bad_s, msg);
    with("other message", key, good, other_msg);
    with("R plus order 2", key, {good.r.add(t2, params()), good.s}, msg);
    with("R plus order 8", key, {good.r.add(t8, params()), good.s}, msg);
    with("key plus order 2", PublicKey{key.point.add(t2, params())}, good, msg);
    with("key of order 8", PublicKey{t8}, good, msg);
    with("neutral key", PublicKey{Point<Unknown>::zero()}, RawSignature{good.r, good.s}, msg);
  }
  // Under the neutral key S·G = R verifies.
  const Fs s = rng.scalar();
  out.push_back({"neutral key, R = S·G", PublicKey{Point<Unknown>::zero()},
                 {{reference::mul(params().generator(kSigningBase), s.into_repr(), params()), s}, rng.bytes(), 0}});
  return out;
}

// Checks verify_batch_vartime on `picked` against each signature verified
// alone; equal keys are passed once.
void expect_batch_matches(const std::vector<Case>& picked) {
  std::vector<PublicKey> keys;
  std::vector<BatchSignature> sigs;
  for (const Case& c : picked) {
    size_t k = 0;
    while (k < keys.size() && !(keys[k].point == c.key.point)) ++k;
    if (k == keys.size()) keys.push_back(c.key);
    sigs.push_back(c.sig);
    sigs.back().key = k;
  }
  const std::vector<bool> got = verify_batch_vartime(keys, sigs);
  ASSERT_EQ(got.size(), picked.size());
  EXPECT_EQ(verify_batch_vartime(keys, sigs, quillet::testing::ThreadsFromTheEnd(3)), got);
  for (size_t i = 0; i < picked.size(); ++i) {
    const bool single = picked[i].key.verify_for_raw_message(picked[i].sig.msg, picked[i].sig.signature);
    EXPECT_EQ(got[i], single) << "item " << i << ": " << picked[i].what;
  }
}

TEST(BatchVerify, AgreesWithSingleVerification) {
  Rng rng(1919);
  const std::vector<Case> all = cases(rng);
  expect_batch_matches({});
  expect_batch_matches(all);
  // Each case alone, among valid ones, and at every position of a run.
  std::vector<Case> valid;
  for (const Case& c : all) {
    if (std::string_view(c.what) == "valid") valid.push_back(c);
  }
  for (const Case& c : all) {
    expect_batch_matches({c});
    for (size_t at : {size_t{0}, size_t{5}, size_t{20}}) {
      std::vector<Case> mixed;
      for (size_t i = 0; i < 21; ++i) mixed.push_back(valid[i % valid.size()]);
      mixed[at] = c;
      expect_batch_matches(mixed);
    }
  }
  // Random mixtures.
  for (int round = 0; round < 20; ++round) {
    std::vector<Case> mixed;
    const size_t n = 1 + rng.word() % 40;
    for (size_t i = 0; i < n; ++i) mixed.push_back(all[rng.word() % all.size()]);
    expect_batch_matches(mixed);
  }
}

TEST(BatchVerify, TorsionThatCancelsInTheSumIsStillRefused) {
  Rng rng(8);
  const std::vector<Case> all = cases(rng);
  // Two, four and eight signatures whose R carry the same point of order 2
  // (or 8): with even weights or in pairs their torsion would cancel.
  for (const char* what : {"R plus order 2", "R plus order 8"}) {
    std::vector<Case> same;
    for (const Case& c : all) {
      if (std::string_view(c.what) == what) same.push_back(c);
    }
    for (size_t n : {2u, 4u, 8u}) {
      std::vector<Case> picked;
      for (size_t i = 0; i < n; ++i) picked.push_back(same[i % same.size()]);
      expect_batch_matches(picked);
    }
  }
}

TEST(BatchVerify, ManyPointsShareTheSubgroupQueries) {
  // Enough points for the subset products: all valid, then one R or one key
  // outside the subgroup, which makes every point be checked alone.
  Rng rng(160);
  const std::vector<Case> all = cases(rng);
  std::vector<Case> valid;
  for (const Case& c : all) {
    if (std::string_view(c.what) == "valid") valid.push_back(c);
  }
  std::vector<Case> many;
  for (size_t i = 0; i < 200; ++i) many.push_back(valid[i % valid.size()]);
  expect_batch_matches(many);
  for (const Case& c : all) {
    const std::string_view what = c.what;
    if (what != "R plus order 2" && what != "key plus order 2" && what != "wrong S") continue;
    std::vector<Case> mixed = many;
    mixed[117] = c;
    expect_batch_matches(mixed);
  }
}

TEST(SubgroupCheck, SidePiecesRunOnceWhicheverWayTheCheckGoes) {
  // Few points (checked alone), many (shared queries), and many with one
  // outside (queries, then each alone).
  const detail::Extended g = detail::PointAccess::coords(params().generator(kSigningBase));
  const detail::Extended order_two{Fr::zero(), -Fr::one(), Fr::zero(), Fr::one()};
  const quillet::testing::ThreadsFromTheEnd three(3);
  for (const auto& [n, outside] : {std::pair<size_t, bool>{0, false}, {5, true}, {200, false}, {200, true}}) {
    std::vector<detail::Extended> points(n, g);
    if (outside) points[n / 2] = order_two;
    std::vector<const detail::Extended*> at;
    for (const detail::Extended& p : points) at.push_back(&p);
    for (const Spread* spread : {&serial_spread(), static_cast<const Spread*>(&three)}) {
      // Pieces 0-2 beside the first stage, 3-4 beside a later one.
      std::array<std::atomic<int>, 5> runs{};
      std::atomic<bool> first_done_before_last{true};
      const auto first = [&](size_t i) { runs[i].fetch_add(1); };
      const auto last = [&](size_t i) {
        for (size_t k = 0; k < 3; ++k) first_done_before_last = first_done_before_last && runs[k].load() == 1;
        runs[3 + i].fetch_add(1);
      };
      const std::vector<bool> in =
          detail::in_subgroup_vartime(at, *spread, SidePieces(3, first), SidePieces(2, last));
      for (const std::atomic<int>& r : runs) EXPECT_EQ(r.load(), 1) << n;
      EXPECT_TRUE(first_done_before_last.load()) << n;
      for (size_t i = 0; i < n; ++i) EXPECT_EQ(in[i], !(outside && i == n / 2)) << n << " " << i;
    }
  }
}

}  // namespace
}  // namespace quillet::jubjub
