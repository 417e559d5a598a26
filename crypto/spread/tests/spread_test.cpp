// How a Spread cuts a stage, against the plain partition of its items.
#include <gtest/gtest.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "crypto/spread/spread.hpp"

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

}  // namespace
}  // namespace quillet
