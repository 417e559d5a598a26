// Many independent permutations at once, and the deferral that lets code
// written for one hash at a time feed them.
//
// Kernels:
// - ifma: eight states per AVX-512 IFMA instruction, 52-bit limbs
//   (lanes52.hpp). Where the processor has AVX-512F and IFMA.
// - emulated: the same algorithm in plain integer arithmetic. Never chosen
//   by itself; it tests the algorithm where the instructions are missing.
// - scalar: one permute_squeeze per state.
// The process's kernel is chosen once, on first use: the environment
// variable QUILLET_POSEIDON_LANES ("scalar", "emulated" or "ifma") forces
// one when this processor can run it; otherwise ifma if CPUID reports it,
// else scalar. AVX2 has no kernel of its own: with 32x32-bit products only, a
// field product takes about 160 of them over four lanes, some 40 per state,
// which is what the scalar MULX code already spends.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "crypto/poseidon/lanes52.hpp"
#include "crypto/poseidon/poseidon.hpp"

namespace quillet::poseidon {

using LaneKernel = field::lanes52::LaneKernel;
using field::lanes52::lane_kernel_name;

// Whether this build and processor run `k`.
bool lane_kernel_available(LaneKernel k);

// The kernel of this process (see above); fixed after the first call.
LaneKernel lane_kernel();

// A Spec's constants in the lane kernels' form. Keeps a reference to the
// Spec, which must outlive it. Immutable once built.
class LaneSpec {
 public:
  // On input the Spec has block terms (Spec::create makes them).
  explicit LaneSpec(const Spec& spec);
  // The view points into the storage: a copy would point into the original.
  LaneSpec(const LaneSpec&) = delete;
  LaneSpec& operator=(const LaneSpec&) = delete;
  // The one-state view also points at the object itself: no moves either
  // (a build returning the prvalue needs none).
  LaneSpec(LaneSpec&&) = delete;

  const Spec& spec() const { return *spec_; }
  const lanes52::Constants& constants() const { return constants_; }
  const lanes52::OneStateConstants& one_state() const { return one_state_; }
  // For partial round k at position t of its block of kLanes rounds, entry
  // m < t: the weight its first row gives to the block's round m S-box
  // output (Spec::block_terms for blocks of kLanes).
  using OneStateTerms = std::array<Fr, lanes52::kLanes - 1>;
  const std::vector<OneStateTerms>& one_state_terms() const { return one_state_terms_; }

 private:
  const Spec* spec_;
  std::vector<lanes52::Limbs> storage_;
  std::vector<lanes52::LaneVector> lane_vectors_;
  std::vector<lanes52::OneStateMatrix> matrices_;
  std::vector<uint64_t> scalar_words_;
  std::vector<lanes52::OneStateBlock> blocks_;
  std::vector<OneStateTerms> one_state_terms_;
  lanes52::Constants constants_;
  lanes52::OneStateConstants one_state_;
};

// The LaneSpec of poseidon_hasher()'s Spec, built once like it and never
// destroyed.
const LaneSpec& hasher_lane_spec();

// out[i] = permute_squeeze(spec, states[i]) for every i, on kernel `k`
// (which must be available). `states` are left unspecified. out.size() ==
// states.size().
void permute_squeeze_many(const LaneSpec& spec, std::span<State> states, std::span<Fr> out,
                          LaneKernel k = lane_kernel());

// permute(spec, states[i]) for every i, on kernel `k`.
void permute_many(const LaneSpec& spec, std::span<State> states, LaneKernel k = lane_kernel());

// permute(spec, state), or with squeeze_only permute_squeeze's element 1
// (the others unspecified), with the full rounds on kernel `k`: one state's
// elements 1 to 8 across the lanes, element 0 beside them in scalar code.
// On the scalar kernel, the scalar permutation.
void permute_one(const LaneSpec& spec, State& state, bool squeeze_only, LaneKernel k);

// Collects the last absorptions (Poseidon::update_final) of the hasher's
// sponges made on this thread while it is installed, so that a batch can run
// them through the lanes and then serve the results to the same code run
// again. Code written for one hash at a time is run item by item, several
// times:
//
//   DeferredSqueezes d(count);       // installs itself on this thread
//   while (!d.done()) {
//     for (i : d.open_items()) { d.begin(i); run item i; d.end(); }
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
// Squeezes of another Spec, and update_exact, are never deferred. One per
// thread at a time; not shared between threads.
class DeferredSqueezes {
 public:
  static constexpr unsigned kRecordingRuns = 3;

  explicit DeferredSqueezes(size_t items, LaneKernel kernel = lane_kernel());
  ~DeferredSqueezes();
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
  // From now on no run records: misses are computed on the spot.
  void stop_recording() { stopped_ = true; }

  // The hook of Poseidon::update_final: the squeeze of `state`, which has
  // absorbed its block.
  Fr squeeze(const Spec& spec, State& state);

  // The deferral installed on this thread, or null.
  static DeferredSqueezes* current();

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
  DeferredSqueezes* previous_;
  Item* active_ = nullptr;
  size_t call_ = 0;       // squeezes so far in the active run
  bool missed_ = false;   // the active run answered from a recorded zero
  bool squeezed_after_miss_ = false;
  bool recording_ = false;
  bool stopped_ = false;
};

// Items per DeferredSqueezes in run_deferred: eight groups of eight lanes,
// and a record small enough to stay in cache.
inline constexpr size_t kDeferredChunk = 64;

// Runs run(i) for every i in [0, count) with the hasher's last absorptions
// going through kernel `k`, chunk by chunk under a DeferredSqueezes.
// prepare(i) is run first, as often as the deferral asks, to record the
// item's squeezes; then run(i) once, answered from the record (squeezes it
// did not record are computed on the spot). prepare should make the squeezes
// run makes, at less cost (the hash of a document that run signs). On the
// scalar kernel only run(i) is called. An exception from either leaves
// through here.
template <class Prepare, class Run>
void run_deferred(size_t count, Prepare&& prepare, Run&& run, LaneKernel k = lane_kernel()) {
  if (k == LaneKernel::scalar) {
    for (size_t i = 0; i < count; ++i) run(i);
    return;
  }
  for (size_t base = 0; base < count; base += kDeferredChunk) {
    const size_t n = count - base < kDeferredChunk ? count - base : kDeferredChunk;
    DeferredSqueezes batch(n, k);
    while (!batch.done()) {
      for (size_t i : batch.open_items()) {
        batch.begin(i);
        prepare(base + i);
        (void)batch.end();
      }
      batch.flush();
    }
    batch.stop_recording();
    for (size_t i = 0; i < n; ++i) {
      batch.begin(i);
      run(base + i);
      (void)batch.end();
    }
  }
}

// run_deferred where the run is its own preparation: its last call for an
// item, the first without a deferred squeeze, is the one that counts (each
// call must overwrite what an earlier one stored). When a run's one deferred
// squeeze was its last, finish(i, output) may complete the item from that
// squeeze's output instead of another run: it returns whether it did.
template <class Run, class Finish>
void run_deferred_finishing(size_t count, Run&& run, Finish&& finish, LaneKernel k = lane_kernel()) {
  if (k == LaneKernel::scalar) {
    for (size_t i = 0; i < count; ++i) run(i);
    return;
  }
  std::vector<size_t> at_last;
  for (size_t base = 0; base < count; base += kDeferredChunk) {
    DeferredSqueezes batch(count - base < kDeferredChunk ? count - base : kDeferredChunk, k);
    while (!batch.done()) {
      at_last.clear();
      for (size_t i : batch.open_items()) {
        batch.begin(i);
        run(base + i);
        if (batch.end() == DeferredSqueezes::RunEnd::open_at_last_squeeze) at_last.push_back(i);
      }
      batch.flush();
      for (size_t i : at_last) {
        if (finish(base + i, batch.last_output(i))) batch.close(i);
      }
    }
  }
}

template <class Run>
void run_deferred(size_t count, Run&& run, LaneKernel k = lane_kernel()) {
  run_deferred_finishing(count, run, [](size_t, const Fr&) { return false; }, k);
}

}  // namespace quillet::poseidon
