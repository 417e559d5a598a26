// A process-wide constant, built on first use and never destroyed.
//
// Never destroyed: batch workers read the constant tables without any lock
// and may still be running when the process exits (a batch on a daemon
// thread). Exit runs the destructors of static objects, so a table with one
// would be freed under those readers. The memory goes back with the process.
//
// Not a function-local static: its one-time guard, copied by fork() while
// another thread holds it mid-build, makes the child wait forever for a
// builder that does not exist there. Here the state names the process that
// builds; a caller in another process (a fork child) takes the build over.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <new>

namespace quillet {

template <class T>
class Immortal {
 public:
  constexpr Immortal() = default;
  Immortal(const Immortal&) = delete;
  Immortal& operator=(const Immortal&) = delete;

  // The constant, made by `build()` (returning a T) on first use. Concurrent
  // first callers wait for one build. A build that throws leaves the constant
  // unbuilt and rethrows; the next caller tries again.
  template <class Build>
  const T& get(const Build& build) {
    if (state_.load(std::memory_order_acquire) == kReady) return *value();
    return get_slow(build);
  }

 private:
  static constexpr pid_t kEmpty = 0;   // not built
  static constexpr pid_t kReady = -1;  // built; any other value: the building process

  const T* value() const { return std::launder(reinterpret_cast<const T*>(storage_)); }

  template <class Build>
  const T& get_slow(const Build& build) {
    const pid_t self = getpid();
    for (;;) {
      pid_t seen = state_.load(std::memory_order_acquire);
      if (seen == kReady) return *value();
      if (seen == self) {  // a thread of this process is building it
        state_.wait(seen, std::memory_order_acquire);
        continue;
      }
      // Unbuilt, or left half-built by the process this one was forked from.
      if (!state_.compare_exchange_strong(seen, self, std::memory_order_acq_rel)) continue;
      try {
        ::new (static_cast<void*>(storage_)) T(build());
      } catch (...) {
        state_.store(kEmpty, std::memory_order_release);
        state_.notify_all();
        throw;
      }
      state_.store(kReady, std::memory_order_release);
      state_.notify_all();
      return *value();
    }
  }

  alignas(T) unsigned char storage_[sizeof(T)] = {};
  std::atomic<pid_t> state_{kEmpty};
};

}  // namespace quillet
