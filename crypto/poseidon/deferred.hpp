// The deferral that lets code written for one hash at a time feed the lane
// kernels (lanes.hpp): the batch hashing and signing of sdk/src/batch.
#pragma once

#include <cstddef>
#include <vector>

#include "crypto/poseidon/lanes.hpp"
#include "crypto/poseidon/poseidon.hpp"

namespace quillet::poseidon {

// Collects the last absorptions (Poseidon::update_final) of the hasher's
// sponges it is passed to, so that a batch can run them through the lanes
// and then serve the results to the same code run again. Code written for
// one hash at a time is run item by item, several times, handed the
// deferral as its Squeezer:
//
//   DeferredSqueezes d(count);
//   while (!d.done()) {
//     for (i : d.open_items()) { d.begin(i); run item i with &d; d.end(); }
//     d.flush();                     // the recorded squeezes, in lanes
//   }
//
// During item i's run, the j-th squeeze is answered from item i's record if
// its input state equals the recorded one. Otherwise, while recording, the
// state is recorded, the squeeze answers zero and the item is marked open:
// its run is to be thrown away (every later squeeze of the run answers zero
// unrecorded, as its input may derive from the zero). A run of an item in
// which no squeeze was missed is final. After `kRecordingRuns` runs of an
// item, misses are computed on the spot instead, so every item finishes.
// An answer is always permute_squeeze of exactly the given state: the
// results are those of the plain code whatever the items compute.
//
// Squeezes of another Spec, and update_exact, are never deferred. Not
// shared between threads.
class DeferredSqueezes final : public Squeezer {
 public:
  static constexpr unsigned kRecordingRuns = 3;

  explicit DeferredSqueezes(size_t items, LaneKernel kernel = lane_kernel());
  DeferredSqueezes(const DeferredSqueezes&) = delete;
  DeferredSqueezes& operator=(const DeferredSqueezes&) = delete;

  // Whether every item has had a final run.
  bool done() const { return open_.empty(); }
  // The items still to run, increasing.
  const std::vector<size_t>& open_items() const { return open_; }

  void begin(size_t item);
  // How a run ended: final (no squeeze deferred), open (to run again), or
  // open with the deferred squeeze its last one: once flushed, that
  // squeeze's output alone may finish the item (see last_output).
  enum class RunEnd { final, open, open_at_last_squeeze };
  RunEnd end();
  // After flush: the output of the item's last recorded squeeze.
  Fr last_output(size_t item) const;
  // Marks an open item finished without another run.
  void close(size_t item);
  // Runs the recorded squeezes and drops the finished items from open_items().
  void flush();
  // The squeeze of `state`, which has absorbed its block (Poseidon::update_final).
  Fr squeeze(const Spec& spec, State& state) override;

 private:
  struct Entry {
    State input;
    Fr output;
    bool ready = false;
  };
  struct Item {
    std::vector<Entry> entries;
    unsigned runs = 0;
    bool open = true;
  };

  LaneKernel kernel_;
  const LaneSpec* lane_spec_;
  std::vector<Item> items_;
  std::vector<size_t> open_;
  Item* active_ = nullptr;
  size_t call_ = 0;       // squeezes so far in the active run
  bool missed_ = false;   // the active run answered from a recorded zero
  bool squeezed_after_miss_ = false;
  bool recording_ = false;
};

// Items per DeferredSqueezes in run_deferred: eight groups of eight lanes,
// and a record small enough to stay in cache.
inline constexpr size_t kDeferredChunk = 64;

// Runs run(i, squeezer) for every i in [0, count), the hasher's last
// absorptions going through kernel `k` when they are made through
// `squeezer`, chunk by chunk under a DeferredSqueezes, as often as the
// deferral asks: the last call for an item, the first without a deferred
// squeeze, is the one that counts (each call must overwrite what an earlier
// one stored). When a run's one deferred squeeze was its last, finish(i,
// output) may complete the item from that squeeze's output instead of
// another run: it returns whether it did. On the scalar kernel each item
// runs once, with no squeezer. An exception from either leaves through here.
template <class Run, class Finish>
void run_deferred(size_t count, Run&& run, Finish&& finish, LaneKernel k = lane_kernel()) {
  if (k == LaneKernel::scalar) {
    for (size_t i = 0; i < count; ++i) run(i, static_cast<Squeezer*>(nullptr));
    return;
  }
  std::vector<size_t> at_last;
  for (size_t base = 0; base < count; base += kDeferredChunk) {
    DeferredSqueezes batch(count - base < kDeferredChunk ? count - base : kDeferredChunk, k);
    while (!batch.done()) {
      at_last.clear();
      for (size_t i : batch.open_items()) {
        batch.begin(i);
        run(base + i, static_cast<Squeezer*>(&batch));
        if (batch.end() == DeferredSqueezes::RunEnd::open_at_last_squeeze) at_last.push_back(i);
      }
      batch.flush();
      for (size_t i : at_last) {
        if (finish(base + i, batch.last_output(i))) batch.close(i);
      }
    }
  }
}

}  // namespace quillet::poseidon
