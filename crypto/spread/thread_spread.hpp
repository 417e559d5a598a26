// The threads a batch call lends to the core's stages: the one Spread that
// runs pieces on other threads. Only the module boundary (and tests) include
// it; the core libraries take a Spread and start none.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "crypto/spread/spread.hpp"

namespace quillet {

namespace spread_detail {

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

}  // namespace spread_detail

class ThreadSpread;

// The process's helper threads, kept between batch calls: starting a thread
// and its first touch of a stack, a malloc arena and thread-local data cost
// about as much as hashing thirty documents. A call borrows free helpers (and
// starts more while the pool is smaller than what the calls running at once
// ask for), lends them to its ThreadSpread, and gives them back at its end.
//
// Never destroyed, like the constant tables (crypto/immortal.hpp): the
// interpreter may exit while helpers sleep here or still serve a daemon
// thread's batch. After fork() the child has none of the parent's threads and
// perhaps a mutex one of them held: a pool belongs to the process that made
// it, and another process (a fork child) makes a fresh one, leaving the old
// state unused.
class HelperPool {
 public:
  // One helper thread, its own mutex and condition variable for lending.
  struct Helper {
    std::mutex mutex;
    std::condition_variable wake;
    std::atomic<const ThreadSpread*> lent{nullptr};  // set under mutex; cleared by the helper
    bool sleeping = false;                           // guarded by mutex
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

  // Has `helper` serve `spread` (which waits for it to leave before it ends).
  static void lend(Helper& helper, const ThreadSpread& spread) noexcept {
    bool sleeping = false;
    {
      const std::lock_guard lock(helper.mutex);
      helper.lent.store(&spread, std::memory_order_release);
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

  static void serve(Helper& helper) noexcept;

  static inline constinit std::atomic<HelperPool*> g_current{nullptr};
  static inline constinit std::atomic<bool> g_forgets_at_fork{false};

  const pid_t pid_;
  std::mutex mutex_;
  std::vector<Helper*> free_;  // guarded by mutex_; capacity kMaxHelpers once a helper exists
  unsigned started_ = 0;       // guarded by mutex_
};

// A few threads lent, for the lifetime of this object, to the stages of one
// batch (a Spread): the calling thread and up to threads - 1 helpers borrowed
// from the process's HelperPool, which wait between stages (spinning
// briefly, then asleep). A batch borrows them once, before converting its
// arguments, rather than per stage.
//
// A stage's start and end take no lock while the helpers spin: the caller
// publishes the stage in state_ (its generation, and whether it is open) and
// closes it there; a helper joins by counting itself in working_ and then
// checking that the stage it saw is still open. Both sides write before they
// read (sequentially consistent), so either the caller's wait counts the
// helper or the helper sees the stage closed. The mutex only serves sleeping.
class ThreadSpread final : public Spread {
 public:
  // Borrows the helpers; fewer (none) if threads cannot be started.
  explicit ThreadSpread(unsigned threads) {
    if (threads <= 1) return;
    pool_ = HelperPool::current();
    if (pool_ == nullptr) return;
    try {
      helpers_.reserve(threads - 1);
    } catch (...) {
      return;  // no memory: the caller alone
    }
    pool_->borrow(threads - 1, helpers_);
    present_.store(static_cast<unsigned>(helpers_.size()), std::memory_order_relaxed);
    for (HelperPool::Helper* helper : helpers_) HelperPool::lend(*helper, *this);
  }
  ThreadSpread(const ThreadSpread&) = delete;
  ThreadSpread& operator=(const ThreadSpread&) = delete;
  // Lets the helpers go, waits until none touches this object, and gives them
  // back to the pool.
  ~ThreadSpread() override {
    if (helpers_.empty()) return;
    quit_.store(true, std::memory_order_relaxed);
    publish(next_generation());  // released by the store: a helper that sees it sees quit_
    const auto gone = [&] { return present_.load(std::memory_order_acquire) == 0; };
    if (!spread_detail::spin_until(gone)) {
      std::unique_lock lock(mutex_);
      spread_detail::wait(done_, lock, gone);
    } else if (spread_detail::spin_until([&] { return mutex_.try_lock(); })) {
      // The last helper has let go of the mutex. It counts itself gone while
      // it still holds it: blocking here would put this thread to sleep
      // until the helper's wake-up, a scheduler's latency at every call's end.
      mutex_.unlock();
    } else {
      const std::lock_guard lock(mutex_);
    }
    pool_->give_back(helpers_);
  }

  unsigned width() const noexcept override { return static_cast<unsigned>(helpers_.size()) + 1; }

 protected:
  void run(size_t count, Piece piece, const void* context) const override {
    if (count == 0) return;
    if (helpers_.empty() || count == 1) {
      Spread::run(count, piece, context);
      return;
    }
    stage_ = Stage{piece, context, count};
    next_.store(0, std::memory_order_relaxed);
    const std::uint64_t open = next_generation() | kOpen;
    publish(open);
    try {
      work(true);
    } catch (...) {
      // Also the unwinding of a thread the interpreter ends at shutdown,
      // which must go on: the helpers leave the stage before its state goes.
      next_.store(stage_.count, std::memory_order_relaxed);
      close(open);
      error_ = nullptr;  // a helper's exception of this stage must not reach the next
      throw;
    }
    close(open);
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
  }

 private:
  friend class HelperPool;

  struct Stage {
    Piece piece = nullptr;
    const void* context = nullptr;
    size_t count = 0;
  };

  // state_: the stage's generation times two, plus kOpen while it is open.
  static constexpr std::uint64_t kOpen = 1;

  std::uint64_t next_generation() const noexcept {
    return ((state_.load(std::memory_order_relaxed) >> 1) + 1) << 1;
  }

  // A new state for the helpers: spinning ones see it, sleeping ones are woken.
  void publish(std::uint64_t state) const noexcept {
    bool wake = false;
    {
      const std::lock_guard lock(mutex_);  // a helper going to sleep checks state_ under it
      state_.store(state, std::memory_order_seq_cst);
      wake = sleeping_ > 0;
    }
    if (wake) wake_.notify_all();
  }

  // Takes and runs pieces of the open stage until none is left. A helper
  // keeps the first exception for the caller; the caller's own propagates.
  void work(bool caller) const {
    for (;;) {
      const size_t i = next_.fetch_add(1, std::memory_order_relaxed);
      if (i >= stage_.count) return;
      if (caller) {
        stage_.piece(stage_.context, i);
        continue;
      }
      try {
        stage_.piece(stage_.context, i);
      } catch (...) {
        const std::lock_guard lock(mutex_);
        if (!error_) error_ = std::current_exception();
        next_.store(stage_.count, std::memory_order_relaxed);  // skip the rest
      }
    }
  }

  // Every piece is taken: closes the stage and waits for the helpers still
  // running one (spinning first: the last piece is usually about to end, and
  // a piece of a stage, the hashes of a few lane groups, often outlasts kSpin;
  // a sleeping caller would add its wake-up to every such stage). A helper
  // that has not joined yet finds the stage closed and skips it.
  void close(std::uint64_t open) const noexcept {
    state_.store(open & ~kOpen, std::memory_order_seq_cst);
    const auto idle = [&] { return working_.load(std::memory_order_seq_cst) == 0; };
    if (spread_detail::spin_until(idle, spread_detail::kLentSpin)) return;
    std::unique_lock lock(mutex_);
    closing_.store(true, std::memory_order_seq_cst);
    spread_detail::wait(done_, lock, idle);
    closing_.store(false, std::memory_order_relaxed);
  }

  // A lent helper's loop: runs the pieces of each stage it joins until this
  // spread lets it go.
  void serve(HelperPool::Helper& helper) const noexcept {
    std::uint64_t seen = 0;  // the generation last seen
    for (;;) {
      const auto moved = [&] { return (state_.load(std::memory_order_acquire) >> 1) != seen; };
      if (!spread_detail::spin_until(moved, spread_detail::kLentSpin)) {
        std::unique_lock lock(mutex_);
        while (!moved()) {
          ++sleeping_;
          wake_.wait_for(lock, std::chrono::seconds(1));
          --sleeping_;
        }
      }
      const std::uint64_t state = state_.load(std::memory_order_acquire);
      seen = state >> 1;
      if (quit_.load(std::memory_order_relaxed)) {
        // Cleared before leaving: the spread then gives the helper back, and
        // a next borrower's lend must not be overwritten.
        helper.lent.store(nullptr, std::memory_order_relaxed);
        const std::lock_guard lock(mutex_);
        if (present_.fetch_sub(1, std::memory_order_release) == 1) done_.notify_all();
        return;  // this object may be gone once the lock is released
      }
      if ((state & kOpen) == 0) continue;
      working_.fetch_add(1, std::memory_order_seq_cst);
      if (state_.load(std::memory_order_seq_cst) == state) work(false);
      if (working_.fetch_sub(1, std::memory_order_seq_cst) == 1 && closing_.load(std::memory_order_seq_cst)) {
        const std::lock_guard lock(mutex_);
        done_.notify_all();
      }
    }
  }

  HelperPool* pool_ = nullptr;
  std::vector<HelperPool::Helper*> helpers_;
  mutable std::mutex mutex_;
  mutable std::condition_variable wake_;  // a new state: a stage, or quit
  mutable std::condition_variable done_;  // the caller sleeps until the stage's or the spread's helpers left
  // Written by the caller only while no helper can run a piece.
  mutable Stage stage_;
  mutable std::atomic<std::uint64_t> state_{0};
  mutable std::atomic<bool> quit_{false};
  mutable std::atomic<unsigned> working_{0};   // helpers that joined the stage
  mutable std::atomic<bool> closing_{false};   // the caller sleeps until working_ is 0
  mutable std::atomic<unsigned> present_{0};   // helpers lent and not yet left; decremented under mutex_
  mutable unsigned sleeping_ = 0;              // helpers waiting on wake_; guarded by mutex_
  mutable std::exception_ptr error_;           // written under mutex_
  mutable std::atomic<size_t> next_{0};
};

// A helper's life: waits to be lent (spinning briefly after its last call,
// then asleep), serves the spread it is lent to, and waits again.
inline void HelperPool::serve(Helper& helper) noexcept {
  for (;;) {
    const auto lent = [&] { return helper.lent.load(std::memory_order_acquire) != nullptr; };
    if (!spread_detail::spin_until(lent)) {
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

}  // namespace quillet
