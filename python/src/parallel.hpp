// Running the items of a batch on a few threads. No Python in here: the
// caller releases the interpreter lock around run_parallel.
#pragma once

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

#include "threads/thread_spread.hpp"

namespace quillet::python {

// The most threads one batch uses, whatever it asks for.
inline constexpr unsigned kMaxThreads = 256;

// One thread per core this process may run on (its CPU affinity, as set by
// taskset or a container), else per core of the machine, and at least 1.
inline unsigned default_thread_count() {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
    return static_cast<unsigned>(CPU_COUNT(&allowed));
  }
  return std::max(1U, std::thread::hardware_concurrency());
}

// How often the calling thread asks whether to go on: often enough for
// Ctrl-C to feel immediate, rarely enough to cost nothing.
inline constexpr std::chrono::milliseconds kPollInterval{20};

// What run_parallel did: the lowest failing index (or count), and whether
// keep_going() asked it to stop.
struct ParallelRun {
  std::size_t first_failure;
  bool stopped;
};

// Runs task(i) for the indexes 0 .. count-1 on the threads of `spread`, the
// calling thread among them, handing indexes out in increasing order.
// task(i) returns false when item i failed; from then on no index above the
// lowest failing one is handed out. Between items, at most every
// kPollInterval, the calling thread calls keep_going(); when it returns false
// no further index is handed out to any thread.
//
// Requires: task is noexcept and safe to run concurrently for distinct
// indexes. Every index below the returned first_failure has run and
// succeeded unless stopped is true. Indexes above it may or may not have run.
// Whatever way this returns or unwinds, no helper still runs a task.
template <class Task, class KeepGoing>
ParallelRun run_parallel(std::size_t count, const ThreadSpread& spread, const Task& task,
                         const KeepGoing& keep_going) {
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> first_failure{count};
  std::atomic<bool> stop{false};
  // Runs one item; false once there is none left to take.
  auto step = [&]() noexcept {
    if (stop.load(std::memory_order_relaxed)) return false;
    const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
    if (i >= count || i > first_failure.load(std::memory_order_relaxed)) return false;
    if (task(i)) return true;
    std::size_t seen = first_failure.load(std::memory_order_relaxed);
    while (i < seen && !first_failure.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
    }
    return true;
  };
  // One piece per thread, each taking items until none is left; only the
  // calling thread may call keep_going (it takes the interpreter lock).
  const std::thread::id caller = std::this_thread::get_id();
  spread.for_each(std::min<std::size_t>(spread.width(), count), [&](std::size_t) {
    if (std::this_thread::get_id() != caller) {
      while (step()) {
      }
      return;
    }
    auto last_poll = std::chrono::steady_clock::now();
    try {
      while (step()) {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_poll < kPollInterval) continue;
        last_poll = now;
        if (!keep_going()) stop.store(true, std::memory_order_relaxed);
      }
    } catch (...) {
      // keep_going() may end this thread (the interpreter does so to threads
      // that ask for its lock at shutdown): the helpers stop taking items.
      stop.store(true, std::memory_order_relaxed);
      throw;
    }
  });
  // The stage's end orders every task's writes before the caller's reads.
  return {first_failure.load(std::memory_order_relaxed), stop.load(std::memory_order_relaxed)};
}

// run_parallel on up to `threads` threads, helpers borrowed for this run
// alone (threads == 1 borrows none). Requires threads >= 1.
template <class Task, class KeepGoing>
ParallelRun run_parallel(std::size_t count, unsigned threads, const Task& task, const KeepGoing& keep_going) {
  const ThreadSpread spread(static_cast<unsigned>(std::clamp<std::size_t>(count, 1, threads)));
  return run_parallel(count, spread, task, keep_going);
}

}  // namespace quillet::python
