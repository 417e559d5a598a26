// The process's helper threads, kept between batch calls and lent to them.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "threads/spin.hpp"

namespace quillet {

// Starting a thread and its first touch of a stack, a malloc arena and
// thread-local data cost about as much as hashing thirty documents, so
// helpers are kept. A call borrows free helpers (and starts more while the
// pool is smaller than what the calls running at once ask for), lends them
// (to its ThreadSpread, thread_spread.hpp), and gives them back at its end.
//
// Never destroyed, like the constant tables (crypto/immortal.hpp): the
// interpreter may exit while helpers sleep here or still serve a daemon
// thread's batch. After fork() the child has none of the parent's threads and
// perhaps a mutex one of them held: a pool belongs to the process that made
// it, and another process (a fork child) makes a fresh one, leaving the old
// state unused.
class HelperPool {
 public:
  struct Helper;

  // What a helper is lent to. serve(helper) runs on the helper's thread and
  // returns when it lets the helper go, having cleared helper.lent before
  // anything that lets the borrower give the helper back.
  class Borrower {
   public:
    virtual void serve(Helper& helper) const noexcept = 0;

   protected:
    ~Borrower() = default;
  };

  // One helper thread, its own mutex and condition variable for lending.
  struct Helper {
    std::mutex mutex;
    std::condition_variable wake;
    std::atomic<const Borrower*> lent{nullptr};  // set under mutex; cleared by the helper
    bool sleeping = false;                       // guarded by mutex
  };

  // The most helper threads a process keeps.
  static constexpr unsigned kMaxHelpers = 256;

  // This process's pool, or nullptr if it cannot be made (no memory).
  static HelperPool* current() noexcept {
    const pid_t self = getpid();
    HelperPool* pool = g_current.load(std::memory_order_acquire);
    while (pool == nullptr || pool->pid_ != self) {
      // A fork child forgets the pool at once (its pid alone could be one
      // that an ancestor had, once that ancestor is gone).
      if (!g_forgets_at_fork.exchange(true)) {
        pthread_atfork(nullptr, nullptr, [] { g_current.store(nullptr, std::memory_order_relaxed); });
      }
      HelperPool* fresh = new (std::nothrow) HelperPool(self);
      if (fresh == nullptr) return nullptr;
      if (g_current.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) return fresh;
      delete fresh;  // another thread of this process made one first: `pool` is it
    }
    return pool;
  }

  // Appends up to `wanted` helpers to `out`, free ones first, then new
  // threads; fewer if threads cannot be started.
  void borrow(unsigned wanted, std::vector<Helper*>& out) noexcept {
    unsigned starting = 0;
    {
      const std::lock_guard lock(mutex_);
      while (wanted > 0 && !free_.empty()) {
        out.push_back(free_.back());
        free_.pop_back();
        --wanted;
      }
      starting = std::min(wanted, kMaxHelpers - started_);
      if (starting > 0 && free_.capacity() < kMaxHelpers) {
        try {
          free_.reserve(kMaxHelpers);  // so that give_back never allocates
        } catch (...) {
          starting = 0;
        }
      }
      started_ += starting;
    }
    unsigned started = 0;
    for (; started < starting; ++started) {
      Helper* helper = start();
      if (helper == nullptr) break;
      out.push_back(helper);
    }
    if (started < starting) {
      const std::lock_guard lock(mutex_);
      started_ -= starting - started;
    }
  }

  void give_back(const std::vector<Helper*>& helpers) noexcept {
    const std::lock_guard lock(mutex_);
    // Room was reserved before the first helper started.
    for (Helper* helper : helpers) free_.push_back(helper);
  }

  // Has `helper` serve `borrower` (which waits for it to leave before it
  // ends).
  static void lend(Helper& helper, const Borrower& borrower) noexcept {
    bool sleeping = false;
    {
      const std::lock_guard lock(helper.mutex);
      helper.lent.store(&borrower, std::memory_order_release);
      sleeping = helper.sleeping;
    }
    if (sleeping) helper.wake.notify_one();
  }

 private:
  explicit HelperPool(pid_t pid) : pid_(pid) {}

  // A new helper thread, waiting to be lent, or nullptr. It blocks the
  // asynchronous signals: they go to the interpreter's threads, which handle
  // them (Ctrl-C), not to a thread that never runs Python. A fault's signal
  // stays unblocked, so that its handler (faulthandler's report) still runs.
  Helper* start() noexcept {
    Helper* helper = new (std::nothrow) Helper;
    if (helper == nullptr) return nullptr;
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&all, fault);
    const bool masked = pthread_sigmask(SIG_SETMASK, &all, &old) == 0;
    bool started = false;
    try {
      std::thread([helper]() noexcept { serve(*helper); }).detach();
      started = true;
    } catch (...) {
      // Out of threads or memory: the call runs on fewer.
    }
    if (masked) pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!started) {
      delete helper;
      return nullptr;
    }
    return helper;
  }

  // A helper's life: waits to be lent (spinning briefly after its last call,
  // then asleep), serves what it is lent to, and waits again.
  static void serve(Helper& helper) noexcept {
    for (;;) {
      const auto lent = [&] { return helper.lent.load(std::memory_order_acquire) != nullptr; };
      if (!threads::spin_until(lent)) {
        std::unique_lock lock(helper.mutex);
        while (!lent()) {
          helper.sleeping = true;
          helper.wake.wait_for(lock, std::chrono::seconds(1));
          helper.sleeping = false;
        }
      }
      helper.lent.load(std::memory_order_acquire)->serve(helper);
    }
  }

  static inline constinit std::atomic<HelperPool*> g_current{nullptr};
  static inline constinit std::atomic<bool> g_forgets_at_fork{false};

  const pid_t pid_;
  std::mutex mutex_;
  std::vector<Helper*> free_;  // guarded by mutex_; capacity kMaxHelpers once a helper exists
  unsigned started_ = 0;       // guarded by mutex_
};

}  // namespace quillet
