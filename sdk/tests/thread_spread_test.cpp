// The helper pool behind ThreadSpread, with several callers at once (also
// run by the thread sanitizer's build with the other ThreadSpread tests).
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

#include "crypto/spread/thread_spread.hpp"

namespace quillet {
namespace {

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
