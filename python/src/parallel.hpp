// Running the items of a batch on a few threads. No Python in here: the
// caller releases the interpreter lock around run_parallel.
#pragma once

#include <sched.h>

#include <algorithm>
#include <atomic>
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

// Runs task(i) for the indexes 0 .. count-1 on up to `threads` threads, the
// calling thread among them (threads == 1 spawns none), handing indexes out
// in increasing order. task(i) returns false when item i failed; from then on
// no index above the lowest failing one is handed out.
//
// Requires: threads >= 1; task is noexcept and safe to run concurrently for
// distinct indexes. Returns the lowest failing index, or count; every index
// below the returned one has run and succeeded. Indexes above it may or may
// not have run. A thread that cannot be started leaves its share to the
// others.
template <class Task>
std::size_t run_parallel(std::size_t count, unsigned threads, const Task& task) {
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> first_failure{count};
  auto work = [&]() noexcept {
    for (;;) {
      const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= count || i > first_failure.load(std::memory_order_relaxed)) return;
      if (task(i)) continue;
      std::size_t seen = first_failure.load(std::memory_order_relaxed);
      while (i < seen &&
             !first_failure.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
      }
    }
  };

  const std::size_t helpers = std::min<std::size_t>(threads, count) - (count > 0 ? 1 : 0);
  std::vector<std::thread> pool;
  try {
    pool.reserve(helpers);
    for (std::size_t k = 0; k < helpers; ++k) pool.emplace_back(work);
  } catch (const std::exception&) {
    // Out of threads or memory: the threads already started and this one
    // share the work.
  }
  work();
  // Joining orders every task's writes before the caller's reads.
  for (std::thread& t : pool) t.join();
  return first_failure.load(std::memory_order_relaxed);
}

}  // namespace quillet::python
