// Independent pieces of one computation, run on whatever threads the caller
// lends. The core starts no threads itself (as an embeddable library should
// not): a batch call owns them (a ThreadSpread, threads/thread_spread.hpp,
// borrowed by python/src/batch.cpp) and passes them down as a Spread, so that
// one batch's stages share its threads instead of each thread running a
// smaller batch of its own with the same fixed costs. An embedder may pass
// its own.
//
// One stage at a time: a spread's stages (its for_each, for_ranges and
// for_stage calls) never nest or overlap. A piece must not start a stage on
// the spread that runs it (unrelated pieces that may run together share one
// stage instead, for_stage), and one thread at a time calls a spread. A spread
// that keeps state between stages may fail hard when this is broken
// (ThreadSpread does); serial_spread() keeps none and serves any thread.
#pragma once

#include <algorithm>
#include <cstddef>

namespace quillet {

// `count` pieces of one kind in a stage (Spread::for_stage): piece(i) for
// each i below count.
template <class Piece>
struct Pieces {
  size_t count;
  const Piece& piece;
};
template <class Piece>
Pieces(size_t, const Piece&) -> Pieces<Piece>;

class Spread {
 public:
  virtual ~Spread() = default;

  // How many threads may run pieces at once (at least 1): a hint for how
  // finely to cut a stage.
  virtual unsigned width() const noexcept { return 1; }

  // Runs piece(i) for every i in [0, count), perhaps several at once, and
  // returns when all have ended. piece must be safe to run concurrently for
  // distinct i. If pieces throw, the others still run (or are skipped) and
  // one of the exceptions is rethrown here once none is running.
  template <class Piece>
  void for_each(size_t count, const Piece& piece) const {
    run(count, [](const void* p, size_t i) { (*static_cast<const Piece*>(p))(i); }, &piece);
  }

  // for_each over `count` items cut into about `per_thread` ranges per
  // thread: range(first, last) for each.
  template <class Range>
  void for_ranges(size_t count, unsigned per_thread, const Range& range) const {
    const size_t pieces = count == 0 ? 0 : std::min<size_t>(count, size_t{width()} * per_thread);
    for_each(pieces, [&](size_t k) { range(k * count / pieces, (k + 1) * count / pieces); });
  }

  // One stage of several kinds of pieces, numbered in the order given (a
  // spread that takes pieces in order starts the first kind's first): where
  // one kind's last pieces would leave a thread idle, the others fill the
  // gap instead of waiting for a stage of their own.
  template <class... Piece>
  void for_stage(const Pieces<Piece>&... kinds) const {
    for_each((size_t{0} + ... + kinds.count), [&](size_t i) {
      // The first kind whose pieces reach i runs it; the others pass.
      (void)((i < kinds.count ? (kinds.piece(i), true) : (i -= kinds.count, false)) || ...);
    });
  }

 protected:
  using Piece = void (*)(const void* context, size_t i);
  // The calling thread alone, in order.
  virtual void run(size_t count, Piece piece, const void* context) const {
    for (size_t i = 0; i < count; ++i) piece(context, i);
  }
};

// The calling thread alone.
inline const Spread& serial_spread() {
  static const Spread serial;
  return serial;
}

}  // namespace quillet
