// How a Spread cuts a stage, against the plain partition of its items, and
// how one stage runs pieces of several kinds.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <stdexcept>
#include <utility>
#include <vector>

#include "crypto/spread/spread.hpp"
#include "crypto/spread/tests/test_support.hpp"

namespace quillet {
namespace {

// The calling thread alone, in order, claiming `width` threads.
class Wide final : public Spread {
 public:
  explicit Wide(unsigned width) : width_(width) {}
  unsigned width() const noexcept override { return width_; }

 private:
  unsigned width_;
};

TEST(Spread, ForRangesCutsTheItemsIntoContiguousNearlyEqualRanges) {
  // (items, ranges per thread, threads)
  struct Cut {
    size_t count;
    unsigned per_thread;
    unsigned width;
  };
  for (const Cut& cut : {Cut{0, 4, 3}, Cut{1, 4, 3}, Cut{5, 1, 1}, Cut{5, 4, 3}, Cut{12, 4, 3}, Cut{13, 4, 3},
                         Cut{1000, 1, 2}, Cut{1001, 4, 256}}) {
    std::vector<std::pair<size_t, size_t>> ranges;
    Wide(cut.width).for_ranges(cut.count, cut.per_thread,
                               [&](size_t first, size_t last) { ranges.emplace_back(first, last); });
    const size_t wanted = std::min<size_t>(cut.count, size_t{cut.width} * cut.per_thread);
    ASSERT_EQ(ranges.size(), wanted) << cut.count << " " << cut.width;
    size_t next = 0;
    for (const auto& [first, last] : ranges) {
      EXPECT_EQ(first, next);
      EXPECT_GT(last, first);
      // Every range holds the floor or the ceiling of the mean.
      EXPECT_LE(last - first, (cut.count + wanted - 1) / wanted);
      EXPECT_GE(last - first, cut.count / wanted);
      next = last;
    }
    EXPECT_EQ(next, cut.count);
  }
}

TEST(Spread, ForStageRunsEveryPieceOfEveryKindOnce) {
  // Pieces per kind (a kind of none among them), on one thread in order and
  // on three threads taking pieces from the last.
  struct Stage {
    std::array<size_t, 3> counts;
  };
  const testing::ThreadsFromTheEnd three(3);
  for (const Stage& stage : {Stage{{0, 0, 0}}, Stage{{1, 0, 0}}, Stage{{0, 0, 2}}, Stage{{3, 0, 4}},
                             Stage{{5, 2, 1}}, Stage{{40, 7, 13}}}) {
    for (const Spread* spread : {&serial_spread(), static_cast<const Spread*>(&three)}) {
      std::array<std::vector<std::atomic<int>>, 3> runs;
      for (size_t k = 0; k < 3; ++k) runs[k] = std::vector<std::atomic<int>>(stage.counts[k]);
      std::vector<std::pair<size_t, size_t>> order;  // on one thread
      const auto kind = [&](size_t k) {
        return [&, k](size_t i) {
          runs[k][i].fetch_add(1);
          if (spread == &serial_spread()) order.emplace_back(k, i);
        };
      };
      const auto first = kind(0), second = kind(1), third = kind(2);
      spread->for_stage(Pieces{stage.counts[0], first}, Pieces{stage.counts[1], second},
                        Pieces{stage.counts[2], third});
      for (size_t k = 0; k < 3; ++k) {
        for (size_t i = 0; i < stage.counts[k]; ++i) EXPECT_EQ(runs[k][i].load(), 1) << k << " " << i;
      }
      if (spread != &serial_spread()) continue;
      // One thread takes them kind by kind, each in order.
      std::vector<std::pair<size_t, size_t>> want;
      for (size_t k = 0; k < 3; ++k) {
        for (size_t i = 0; i < stage.counts[k]; ++i) want.emplace_back(k, i);
      }
      EXPECT_EQ(order, want);
    }
  }
}

TEST(Spread, APiecesExceptionLeavesTheStage) {
  // On the calling thread alone, the pieces after it are skipped.
  std::vector<size_t> ran;
  const auto record = [&](size_t i) { ran.push_back(i); };
  const auto fail_at_one = [&](size_t i) {
    if (i == 1) throw std::runtime_error("piece");
    ran.push_back(10 + i);
  };
  EXPECT_THROW(serial_spread().for_stage(Pieces{size_t{2}, record}, Pieces{size_t{3}, fail_at_one},
                                         Pieces{size_t{2}, record}),
               std::runtime_error);
  EXPECT_EQ(ran, (std::vector<size_t>{0, 1, 10}));
}

}  // namespace
}  // namespace quillet
