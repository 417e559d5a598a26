// Batch verification as scheduled, on one thread, on real threads and cut
// as for two, against verifying each signature: every kind of signature,
// torsion that would cancel in the sum, and the subgroup check each way it
// can go (few points, many, many with one outside).
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "crypto/jubjub/tests/batch_cases.hpp"
#include "crypto/spread/tests/test_support.hpp"
#include "sdk/src/batch/verify_schedule.hpp"

namespace quillet::sdk {
namespace {

using jubjub::reference::Rng;
using jubjub::testing::BatchCase;

// The calling thread alone, stages cut as for two threads: the R terms' odd
// pass out is cut in halves.
class CutForTwo final : public Spread {
 public:
  unsigned width() const noexcept override { return 2; }
};

void expect_batch_matches(const std::vector<BatchCase>& picked) {
  const jubjub::testing::Batch b = jubjub::testing::batch_of(picked);
  const std::vector<bool> got = verify_batch_vartime(b.keys, b.sigs);
  const std::vector<bool> want = jubjub::testing::verified_alone(picked);
  ASSERT_EQ(got.size(), want.size());
  EXPECT_EQ(verify_batch_vartime(b.keys, b.sigs, quillet::testing::ThreadsFromTheEnd(3)), got);
  EXPECT_EQ(verify_batch_vartime(b.keys, b.sigs, CutForTwo()), got);
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "item " << i << ": " << picked[i].what;
}

TEST(VerifySchedule, AgreesWithSingleVerification) {
  Rng rng(1919);
  const std::vector<BatchCase> all = jubjub::testing::batch_cases(rng);
  const std::vector<BatchCase> valid = jubjub::testing::cases_named(all, "valid");
  expect_batch_matches({});
  expect_batch_matches(all);
  // Each case alone, among valid ones, and at every position of a run.
  for (const BatchCase& c : all) {
    expect_batch_matches({c});
    for (size_t at : {size_t{0}, size_t{5}, size_t{20}}) {
      std::vector<BatchCase> mixed;
      for (size_t i = 0; i < 21; ++i) mixed.push_back(valid[i % valid.size()]);
      mixed[at] = c;
      expect_batch_matches(mixed);
    }
  }
  // Random mixtures.
  for (int round = 0; round < 20; ++round) {
    std::vector<BatchCase> mixed;
    const size_t n = 1 + rng.word() % 40;
    for (size_t i = 0; i < n; ++i) mixed.push_back(all[rng.word() % all.size()]);
    expect_batch_matches(mixed);
  }
}

TEST(VerifySchedule, TorsionThatCancelsInTheSumIsStillRefused) {
  Rng rng(8);
  const std::vector<BatchCase> all = jubjub::testing::batch_cases(rng);
  // Two, four and eight signatures whose R carry the same point of order 2
  // (or 8): with even weights or in pairs their torsion would cancel.
  for (const char* what : {"R plus order 2", "R plus order 8"}) {
    const std::vector<BatchCase> same = jubjub::testing::cases_named(all, what);
    for (size_t n : {2u, 4u, 8u}) {
      std::vector<BatchCase> picked;
      for (size_t i = 0; i < n; ++i) picked.push_back(same[i % same.size()]);
      expect_batch_matches(picked);
    }
  }
}

TEST(VerifySchedule, ManyPointsShareTheSubgroupQueries) {
  // Enough points for the subset products: all valid, then one R or one key
  // outside the subgroup, which makes every point be checked alone, or one
  // wrong S, which the combination finds.
  Rng rng(160);
  const std::vector<BatchCase> all = jubjub::testing::batch_cases(rng);
  const std::vector<BatchCase> valid = jubjub::testing::cases_named(all, "valid");
  std::vector<BatchCase> many;
  for (size_t i = 0; i < 200; ++i) many.push_back(valid[i % valid.size()]);
  expect_batch_matches(many);
  for (const char* what : {"R plus order 2", "key plus order 2", "wrong S"}) {
    std::vector<BatchCase> mixed = many;
    mixed[117] = jubjub::testing::cases_named(all, what)[0];
    expect_batch_matches(mixed);
  }
}

}  // namespace
}  // namespace quillet::sdk
