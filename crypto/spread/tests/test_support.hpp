// A Spread on real threads for the tests of the layers that take one, with
// no pool behind it (threads/ is above them): a result that depends on the
// pieces' order or thread differs from serial_spread()'s.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

#include "crypto/spread/spread.hpp"

namespace quillet::testing {

// `threads` threads (the caller among them) taking each stage's pieces from
// the last, every stage on threads started for it.
class ThreadsFromTheEnd final : public Spread {
 public:
  explicit ThreadsFromTheEnd(unsigned threads) : threads_(threads) {}
  unsigned width() const noexcept override { return threads_; }

 protected:
  void run(size_t count, Piece piece, const void* context) const override {
    std::atomic<size_t> left{count};
    const auto take = [&] {
      for (size_t n = left.load(); n > 0;) {
        if (left.compare_exchange_weak(n, n - 1)) {
          piece(context, n - 1);
          n = left.load();
        }
      }
    };
    std::vector<std::thread> others;
    for (unsigned t = 1; t < threads_; ++t) others.emplace_back(take);
    take();
    for (std::thread& t : others) t.join();
  }

 private:
  unsigned threads_;
};

}  // namespace quillet::testing
