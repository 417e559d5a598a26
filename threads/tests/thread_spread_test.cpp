// The threads a batch call lends, against serial_spread(): every piece runs
// once, an exception ends only its stage, callers on several threads share
// the pool's helpers, and the one-stage-at-a-time rule of spread.hpp fails
// hard when broken (all run by the thread sanitizer's build too).
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

#include "crypto/failure.hpp"
#include "threads/thread_spread.hpp"

namespace quillet {
namespace {

TEST(ThreadSpread, EveryPieceRunsOnceAndAPiecesExceptionEndsOnlyItsStage) {
  // (threads, pieces, the first of the pieces that throw, or none)
  struct Stage {
    unsigned threads;
    size_t count;
    size_t throwing;
  };
  for (const Stage& stage : {Stage{1, 5, SIZE_MAX}, Stage{3, 0, SIZE_MAX}, Stage{3, 1, SIZE_MAX},
                             Stage{3, 200, SIZE_MAX}, Stage{2, 200, 0}, Stage{2, 200, 150}, Stage{3, 200, 199}, Stage{2, 4, 0}}) {
    const ThreadSpread spread(stage.threads);
    EXPECT_EQ(spread.width(), stage.threads);
    std::vector<std::atomic<int>> runs(stage.count);
    const auto piece = [&](size_t i) {
      runs[i].fetch_add(1);
      if (i >= stage.throwing) throw std::runtime_error("piece");
    };
    if (stage.throwing == SIZE_MAX) {
      spread.for_each(stage.count, piece);
      for (size_t i = 0; i < stage.count; ++i) EXPECT_EQ(runs[i].load(), 1) << i;
    } else {
      EXPECT_THROW(spread.for_each(stage.count, piece), std::runtime_error);
      for (size_t i = 0; i < stage.count; ++i) EXPECT_LE(runs[i].load(), 1) << i;
    }
    // The next stage on the same threads is whole, and no earlier exception reaches it.
    std::atomic<size_t> sum{0};
    spread.for_each(100, [&](size_t i) { sum.fetch_add(i); });
    EXPECT_EQ(sum.load(), size_t{4950});
  }
}

// A stage started while one runs, from one of its pieces (on the calling
// thread or on a helper) or from a second thread, fails hard; the stage it
// interrupted ends, and the next one on the same threads is whole.
TEST(ThreadSpread, AStageStartedWhileOneRunsFailsHard) {
  const auto whole_stage_after = [](const ThreadSpread& spread) {
    std::atomic<size_t> sum{0};
    spread.for_each(100, [&](size_t i) { sum.fetch_add(i); });
    return sum.load() == 4950;
  };
  for (unsigned threads : {1U, 2U, 3U}) {
    const ThreadSpread spread(threads);
    // Every piece starts a stage: the caller's fails at once, a helper's is
    // carried back to the caller.
    EXPECT_THROW(spread.for_each(8, [&](size_t) { spread.for_each(2, [](size_t) {}); }), HardFailure) << threads;
    EXPECT_THROW(spread.for_ranges(8, 1, [&](size_t, size_t) { spread.for_ranges(2, 1, [](size_t, size_t) {}); }),
                 HardFailure)
        << threads;
    EXPECT_TRUE(whole_stage_after(spread)) << threads;

    // A second thread, while the first stage's pieces wait for it.
    std::atomic<bool> tried{false};
    std::atomic<int> second{0};  // 1: failed hard, 2: anything else
    std::thread other;
    spread.for_each(4, [&](size_t i) {
      if (i == 0) {
        other = std::thread([&] {
          try {
            spread.for_each(1, [](size_t) {});
            second = 2;
          } catch (const HardFailure&) {
            second = 1;
          }
          tried = true;
        });
      }
      while (!tried.load()) std::this_thread::yield();
    });
    other.join();
    EXPECT_EQ(second.load(), 1) << threads;
    EXPECT_TRUE(whole_stage_after(spread)) << threads;
  }
}

TEST(ThreadSpread, CallersOnSeveralThreadsAtOnceShareThePoolsHelpers) {
  // Spreads made and ended again and again by callers at once: each borrows
  // the helpers free at that moment (or starts more), never one in use.
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (unsigned c = 0; c < 4; ++c) {
    callers.emplace_back([&wrong, c] {
      for (int round = 0; round < 20; ++round) {
        const ThreadSpread spread(2 + c % 2);
        for (size_t count = 40; count < 45; ++count) {
          std::atomic<size_t> sum{0};
          spread.for_each(count, [&](size_t i) { sum.fetch_add(i + 1); });
          if (sum.load() != count * (count + 1) / 2) wrong.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace quillet
