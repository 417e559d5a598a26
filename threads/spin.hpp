// Waiting between a batch call's stages: spinning briefly, then sleeping.
#pragma once

#include <sched.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quillet::threads {

// How long a thread waiting for the next stage (or for the last helper of a
// stage, or for its next call) spins before it sleeps. A sleeping thread
// costs a futex wake-up and the scheduler's latency, tens of microseconds on
// a virtual machine; stages and calls that follow each other within this
// time pay neither.
inline constexpr std::chrono::microseconds kSpin{50};
// How long a helper lent to a call spins between that call's stages. The
// serial work between two stages (a run's key map, an MSM's digits, the
// interpreter's conversions) often outlasts kSpin, and a wake-up from sleep
// then delays every stage's start by the scheduler's latency; a call's
// serial gaps stay well below this, so helpers sleep only between calls.
inline constexpr std::chrono::microseconds kLentSpin{2000};

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// Spins until ready() or `limit` has passed; returns ready(). Every microsecond
// or so it yields the processor: on a machine whose cores are all busy, the
// thread it waits for may be queued behind it on the same core.
template <class Ready>
bool spin_until(const Ready& ready, std::chrono::microseconds limit = kSpin) noexcept {
  if (ready()) return true;
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    for (int k = 0; k < 32; ++k) {
      cpu_relax();
      if (ready()) return true;
    }
    if (std::chrono::steady_clock::now() >= end) return ready();
    sched_yield();
  }
}

// cv.wait(lock, pred) by timed waits: libstdc++ 12 exports the untimed
// wait under a new symbol version (GLIBCXX_3.4.30) that the C++ runtime of
// the oldest systems the wheels serve lacks, while the timed wait is inline
// in the header (pthread_cond_clockwait). The timeout only bounds a wait.
// (std::atomic::wait is left alone for the same reason.)
template <class Pred>
void wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, const Pred& pred) {
  while (!pred()) cv.wait_for(lock, std::chrono::seconds(1));
}

}  // namespace quillet::threads
