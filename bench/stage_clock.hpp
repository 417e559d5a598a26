// A Spread for measuring how much of a batch call its threads could share.
#pragma once

#include <chrono>
#include <cstddef>

#include "crypto/spread/spread.hpp"

namespace quillet::bench {

// The calling thread alone, its stages cut as for two threads, timing what
// runs inside them: the rest of a call is the serial part no thread can
// share, whatever the machine's load.
class StageClock final : public Spread {
 public:
  unsigned width() const noexcept override { return 2; }
  mutable double inside = 0;  // seconds

 protected:
  void run(size_t count, Piece piece, const void* context) const override {
    const auto start = std::chrono::steady_clock::now();
    Spread::run(count, piece, context);
    inside += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
};

// Records in `state` the serial fraction of `call(clock)` over its
// iterations, and the speed-up two threads could reach by Amdahl's law,
// 1 / (s + (1 - s) / 2).
template <class State, class Call>
void time_serial_part(State& state, const Call& call) {
  StageClock clock;
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    call(clock);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double serial = 1 - clock.inside / total;
  state.counters["serial_pct"] = 100 * serial;
  state.counters["amdahl_2"] = 1 / (serial + (1 - serial) / 2);
}

}  // namespace quillet::bench
