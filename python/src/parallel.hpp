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

// Runs task(i) for the indexes 0 .. count-1 on up to `threads` threads, the
// calling thread among them (threads == 1 spawns none), handing indexes out
// in increasing order. task(i) returns false when item i failed; from then on
// no index above the lowest failing one is handed out. Between items, at most
// every kPollInterval, the calling thread calls keep_going(); when it returns
// false no further index is handed out to any thread.
//
// Requires: threads >= 1; task is noexcept and safe to run concurrently for
// distinct indexes. Every index below the returned first_failure has run and
// succeeded unless stopped is true. Indexes above it may or may not have run.
// A thread that cannot be started leaves its share to the others. Whatever
// way this returns or unwinds, every thread it started has been joined.
template <class Task, class KeepGoing>
ParallelRun run_parallel(std::size_t count, unsigned threads, const Task& task,
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

  const std::size_t helpers = std::min<std::size_t>(threads, count) - (count > 0 ? 1 : 0);
  std::vector<std::thread> pool;
  try {
    pool.reserve(helpers);
    for (std::size_t k = 0; k < helpers; ++k) {
      pool.emplace_back([&]() noexcept {
        while (step()) {
        }
      });
    }
  } catch (const std::exception&) {
    // Out of threads or memory: the threads already started and this one
    // share the work.
  }
  auto join_all = [&]() noexcept {
    for (std::thread& t : pool) t.join();
  };
  try {
    auto last_poll = std::chrono::steady_clock::now();
    while (step()) {
      const auto now = std::chrono::steady_clock::now();
      if (now - last_poll < kPollInterval) continue;
      last_poll = now;
      if (!keep_going()) stop.store(true, std::memory_order_relaxed);
    }
  } catch (...) {
    // keep_going() may end this thread (the interpreter does so to threads
    // that ask for its lock at shutdown): the helpers must not outlive the
    // state they share with it.
    stop.store(true, std::memory_order_relaxed);
    join_all();
    throw;
  }
  // Joining orders every task's writes before the caller's reads.
  join_all();
  return {first_failure.load(std::memory_order_relaxed), stop.load(std::memory_order_relaxed)};
}

}  // namespace quillet::python
