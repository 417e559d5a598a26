// The threads a batch call lends to the core's stages: the one Spread that
// runs pieces on other threads. The core libraries take a Spread and start
// none; the module boundary, and the programs and tests above the core,
// make these.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

#include "crypto/failure.hpp"
#include "crypto/spread/spread.hpp"
#include "threads/helper_pool.hpp"
#include "threads/spin.hpp"

namespace quillet {

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
class ThreadSpread final : public Spread, private HelperPool::Borrower {
 public:
  // The hard failure of a stage started while another runs.
  static constexpr const char* kOneStageAtATime =
      "assertion failed: a ThreadSpread runs one stage at a time (a stage was started from a piece or from a "
      "second thread)";

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
    if (!threads::spin_until(gone)) {
      std::unique_lock lock(mutex_);
      threads::wait(done_, lock, gone);
    } else if (threads::spin_until([&] { return mutex_.try_lock(); })) {
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
  // Fails hard, leaving the stage that runs alone, when called while a
  // stage runs (spread.hpp): from one of its pieces, or from another thread.
  void run(size_t count, Piece piece, const void* context) const override {
    if (running_.exchange(true, std::memory_order_acquire)) fail_hard(kOneStageAtATime);
    const struct Ended {
      std::atomic<bool>& running;
      ~Ended() { running.store(false, std::memory_order_release); }
    } ended{running_};
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
    if (threads::spin_until(idle, threads::kLentSpin)) return;
    std::unique_lock lock(mutex_);
    closing_.store(true, std::memory_order_seq_cst);
    threads::wait(done_, lock, idle);
    closing_.store(false, std::memory_order_relaxed);
  }

  // A lent helper's loop: runs the pieces of each stage it joins until this
  // spread lets it go.
  void serve(HelperPool::Helper& helper) const noexcept override {
    std::uint64_t seen = 0;  // the generation last seen
    for (;;) {
      const auto moved = [&] { return (state_.load(std::memory_order_acquire) >> 1) != seen; };
      if (!threads::spin_until(moved, threads::kLentSpin)) {
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
  mutable std::atomic<bool> running_{false};  // a stage runs: between run()'s entry and its exit
};

}  // namespace quillet
