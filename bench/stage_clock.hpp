// A Spread for measuring how much of a batch call its threads could share.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "crypto/spread/spread.hpp"
#include "threads/thread_spread.hpp"

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
    double before = 0;    // seconds of serial work since the last stage (or the call's start)
    double first = 0;     // seconds, the first piece alone
  };
  unsigned width() const noexcept override { return 2; }
  mutable std::vector<Row> rows;  // per stage, in call order; accumulates over calls
  mutable size_t stage = 0;       // reset to 0 before each call
  mutable std::chrono::steady_clock::time_point last_end;  // set to the call's start

 protected:
  void run(size_t count, Piece piece, const void* context) const override {
    if (rows.size() <= stage) rows.resize(stage + 1);
    Row& row = rows[stage++];
    row.before += std::chrono::duration<double>(std::chrono::steady_clock::now() - last_end).count();
    double free_at[2] = {0, 0};
    for (size_t i = 0; i < count; ++i) {
      const auto start = std::chrono::steady_clock::now();
      piece(context, i);
      const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      row.total += t;
      if (i == 0) row.first += t;
      double& first_free = free_at[0] <= free_at[1] ? free_at[0] : free_at[1];
      first_free += t;
    }
    row.pieces = count;
    last_end = std::chrono::steady_clock::now();
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

namespace quillet::bench {

// Records in `state` per stage of `call(profile)`: its pieces, one thread's
// time, two threads' (StageProfile) and the serial work before it, in µs;
// the serial rest and the speed-up two threads could reach.
template <class State, class Call>
void profile_stages(State& state, const Call& call) {
  StageProfile profile;
  double total = 0;
  for (auto _ : state) {
    profile.stage = 0;
    const auto start = std::chrono::steady_clock::now();
    profile.last_end = start;
    call(profile);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double calls = static_cast<double>(state.iterations());
  double inside = 0, two = 0;
  for (size_t s = 0; s < profile.rows.size(); ++s) {
    const auto& r = profile.rows[s];
    inside += r.total;
    two += r.makespan;
    const std::string name = "s" + std::to_string(s) + "_n" + std::to_string(r.pieces);
    state.counters[name + "_t1"] = 1e6 * r.total / calls;
    state.counters[name + "_t2"] = 1e6 * r.makespan / calls;
    state.counters[name + "_before"] = 1e6 * r.before / calls;
    state.counters[name + "_first"] = 1e6 * r.first / calls;
  }
  const double serial = total - inside;
  state.counters["serial"] = 1e6 * serial / calls;
  state.counters["t1_over_t2"] = total / (serial + two);
}

// Each stage's wall time on real threads (1 or 2), and the calling thread's
// work before it (g), in µs: against the one-thread profile's figures, what
// sharing costs beyond the imbalance.
class TimedStages final : public Spread {
 public:
  explicit TimedStages(unsigned threads) : inner_(threads) {}
  unsigned width() const noexcept override { return inner_.width(); }
  mutable std::vector<double> stage;
  mutable std::vector<double> gap;  // the calling thread's work before each stage
  mutable size_t next = 0;
  mutable std::chrono::steady_clock::time_point last_end;  // set to the call's start

 protected:
  void run(size_t count, Piece piece, const void* context) const override {
    const auto start = std::chrono::steady_clock::now();
    inner_.for_each(count, [&](size_t i) { piece(context, i); });
    if (stage.size() <= next) {
      stage.resize(next + 1);
      gap.resize(next + 1);
    }
    gap[next] += std::chrono::duration<double>(start - last_end).count();
    last_end = std::chrono::steady_clock::now();
    stage[next++] += std::chrono::duration<double>(last_end - start).count();
  }

 private:
  ThreadSpread inner_;
};


// Times call(spread) on `threads` real threads: per call, each stage's wall
// time (s0, s1, ...), the calling thread's work before it (g0, g1, ...) and
// the serial rest of the call.
template <class State, class Call>
void time_real_stages(State& state, unsigned threads, const Call& call) {
  const TimedStages spread(threads);
  double total = 0;
  for (auto _ : state) {
    spread.next = 0;
    const auto start = std::chrono::steady_clock::now();
    spread.last_end = start;
    call(spread);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double calls = static_cast<double>(state.iterations());
  double inside = 0;
  for (size_t s = 0; s < spread.stage.size(); ++s) {
    inside += spread.stage[s];
    state.counters["s" + std::to_string(s)] = 1e6 * spread.stage[s] / calls;
    state.counters["g" + std::to_string(s)] = 1e6 * spread.gap[s] / calls;
  }
  state.counters["serial"] = 1e6 * (total - inside) / calls;
}

}  // namespace quillet::bench
