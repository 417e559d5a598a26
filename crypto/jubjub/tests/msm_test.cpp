// The bucket multi-scalar multiplication against a sum of plain
// multiplications, in scalar code and in lanes.
#include <gtest/gtest.h>

#include <optional>
#include <tuple>
#include <vector>

#include "crypto/jubjub/msm/msm.hpp"
#include "crypto/jubjub/tests/reference.hpp"

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
      if (!cpu::runs(kernel)) continue;
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

// One MsmTables serving plans in turn as batch verification's threads keep
// theirs: smaller after larger (stale entries past the plan's end), larger
// (the tables grow), and one beyond kMaxKept, which takes tables of its own
// and must leave the kept ones to the next plan.
TEST(BucketMsm, KeptTablesServePlansOfEverySize) {
  Rng rng(29);
  std::vector<detail::Extended> points;
  std::vector<FsRepr> scalars;
  for (size_t i = 0; i < 700; ++i) {
    points.push_back(detail::PointAccess::coords(rng.point(params())));
    scalars.push_back(rng.repr());
  }
  struct Plan {
    size_t n;
    unsigned bits, window;
  };
  for (const cpu::LaneKernel kernel : {cpu::LaneKernel::emulated, cpu::LaneKernel::ifma}) {
    if (!cpu::runs(kernel)) continue;
    detail::MsmTables kept;
    // 700 terms of 252 bits in windows of 3: eleven passes, over 1 MiB.
    for (const Plan& plan : {Plan{300, 128, 6}, Plan{20, 252, 9}, Plan{700, 252, 3}, Plan{256, 128, 6},
                             Plan{600, 252, 3}, Plan{5, 128, 6}}) {
      const auto p = std::span(points).first(plan.n);
      std::vector<FsRepr> k(scalars.begin(), scalars.begin() + static_cast<std::ptrdiff_t>(plan.n));
      for (FsRepr& v : k) {
        for (unsigned b = plan.bits; b < 256; ++b) v[b / 64] &= ~(uint64_t{1} << (b % 64));
      }
      const auto want = detail::PointAccess::make<Unknown>(
          detail::msm_with_window_vartime(p, k, plan.bits, plan.window, kEdwardsD2));
      detail::MsmPlanVartime made(p, k, plan.bits, plan.window, kEdwardsD2, kernel,
                                  detail::MsmPlanVartime::Deferred{&kept});
      made.make(plan.n / 2, plan.n);
      made.make(0, plan.n / 2);
      std::vector<detail::Extended> sums(made.pieces());
      for (size_t i = 0; i < sums.size(); ++i) sums[i] = made.piece(i);
      EXPECT_TRUE(detail::PointAccess::make<Unknown>(made.combine(sums)) == want)
          << cpu::lane_kernel_name(kernel) << " " << plan.n << " terms of " << plan.bits << " bits";
    }
  }
}

}  // namespace
}  // namespace quillet::jubjub
