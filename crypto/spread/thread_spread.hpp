// The threads a batch call lends to the core's stages: the one Spread that
// starts threads. Only the module boundary (and tests) include it; the core
// libraries take a Spread and start none.
#pragma once

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

// A few threads lent, for the lifetime of this object, to the stages of one
// batch (a Spread): the calling thread and up to threads - 1 helpers, which
// wait between stages. Starting them costs tens of microseconds, so a batch
// starts them once, before converting its arguments, rather than per stage.
class ThreadSpread final : public Spread {
 public:
  // Starts the helpers; fewer (none) if threads cannot be started.
  explicit ThreadSpread(unsigned threads) {
    try {
      helpers_.reserve(threads - 1);
      for (unsigned k = 1; k < threads; ++k) helpers_.emplace_back([this]() noexcept { serve(); });
    } catch (const std::exception&) {
      // Out of threads or memory: the ones started and the caller share the work.
    }
  }
  ThreadSpread(const ThreadSpread&) = delete;
  ThreadSpread& operator=(const ThreadSpread&) = delete;
  ~ThreadSpread() override {
    {
      const std::lock_guard lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : helpers_) t.join();
  }

  unsigned width() const noexcept override { return static_cast<unsigned>(helpers_.size()) + 1; }

 protected:
  void run(size_t count, Piece piece, const void* context) const override {
    if (count == 0) return;
    if (helpers_.empty() || count == 1) {
      Spread::run(count, piece, context);
      return;
    }
    {
      const std::lock_guard lock(mutex_);
      stage_ = Stage{piece, context, count};
      next_.store(0, std::memory_order_relaxed);
      ++generation_;
      open_ = true;
    }
    wake_.notify_all();
    try {
      work(true);
    } catch (...) {
      // Also the unwinding of a thread the interpreter ends at shutdown,
      // which must go on: the helpers leave the stage before its state goes.
      next_.store(stage_.count, std::memory_order_relaxed);
      close();
      error_ = nullptr;  // a helper's exception of this stage must not reach the next
      throw;
    }
    close();
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
  }

 private:
  struct Stage {
    Piece piece = nullptr;
    const void* context = nullptr;
    size_t count = 0;
  };

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

  // Every piece is taken: waits for the helpers still running one. A helper
  // that has not woken yet finds the stage closed and skips it.
  void close() const noexcept {
    std::unique_lock lock(mutex_);
    wait(done_, lock, [&] { return working_ == 0; });
    open_ = false;
  }

  // cv.wait(lock, pred) by timed waits: libstdc++ 12 exports the untimed
  // wait under a new symbol version (GLIBCXX_3.4.30) that the C++ runtime of
  // the oldest systems the wheels serve lacks, while the timed wait is inline
  // in the header (pthread_cond_clockwait). The timeout only bounds a wait.
  template <class Pred>
  static void wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, const Pred& pred) {
    while (!pred()) cv.wait_for(lock, std::chrono::seconds(1));
  }

  void serve() const noexcept {
    std::uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
      wait(wake_, lock, [&] { return quit_ || generation_ != seen; });
      if (quit_) return;
      seen = generation_;
      if (!open_) continue;
      ++working_;
      lock.unlock();
      work(false);
      lock.lock();
      if (--working_ == 0) done_.notify_one();
    }
  }

  std::vector<std::thread> helpers_;
  mutable std::mutex mutex_;
  mutable std::condition_variable wake_;  // a new stage, or quit
  mutable std::condition_variable done_;  // the last working helper left a stage
  // Guarded by mutex_, except stage_ which is only written while no helper works.
  mutable Stage stage_;
  mutable std::uint64_t generation_ = 0;
  mutable bool open_ = false;
  mutable bool quit_ = false;
  mutable unsigned working_ = 0;
  mutable std::exception_ptr error_;
  mutable std::atomic<size_t> next_{0};
};

}  // namespace quillet
