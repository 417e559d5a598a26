// A Spread for measuring how much of a batch call its threads could share.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

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

// The calling thread alone, stages cut as for two threads, timing each
// piece: per stage, the sum of its pieces and the time two threads taking
// the pieces in order (as the helper pool does) would need, so that a
// stage's imbalance shows apart from the machine's load.
class StageProfile final : public Spread {
 public:
  struct Row {
    size_t pieces = 0;
    double total = 0;   // seconds, one thread
    double makespan = 0;  // seconds, two threads taking pieces in order
  };
  unsigned width() const noexcept override { return 2; }
  mutable std::vector<Row> rows;  // per stage, in call order; accumulates over calls
  mutable size_t stage = 0;       // reset to 0 before each call

 protected:
  void run(size_t count, Piece piece, const void* context) const override {
    if (rows.size() <= stage) rows.resize(stage + 1);
    Row& row = rows[stage++];
    double free_at[2] = {0, 0};
    for (size_t i = 0; i < count; ++i) {
      const auto start = std::chrono::steady_clock::now();
      piece(context, i);
      const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      row.total += t;
      double& first_free = free_at[0] <= free_at[1] ? free_at[0] : free_at[1];
      first_free += t;
    }
    row.pieces = count;
    row.makespan += std::max(free_at[0], free_at[1]);
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
