#include "crypto/poseidon/deferred.hpp"

#include <algorithm>

#include "crypto/failure.hpp"

namespace quillet::poseidon {
namespace {

bool same_state(const State& a, const State& b) {
  bool eq = true;
  for (size_t i = 0; i < kWidth; ++i) eq &= a.words[i] == b.words[i];
  return eq;
}

}  // namespace

DeferredSqueezes::DeferredSqueezes(size_t items, LaneKernel kernel)
    : kernel_(kernel), lane_spec_(&hasher_lane_spec()), items_(items) {
  open_.reserve(items);
  for (size_t i = 0; i < items; ++i) open_.push_back(i);
}

void DeferredSqueezes::begin(size_t item) {
  active_ = &items_.at(item);
  call_ = 0;
  missed_ = false;
  squeezed_after_miss_ = false;
  recording_ = active_->runs < kRecordingRuns;
  active_->runs += 1;
}

DeferredSqueezes::RunEnd DeferredSqueezes::end() {
  RunEnd how = RunEnd::open;
  if (active_ != nullptr && !missed_) {
    active_->open = false;
    how = RunEnd::final;
  } else if (active_ != nullptr && !squeezed_after_miss_) {
    how = RunEnd::open_at_last_squeeze;
  }
  active_ = nullptr;
  return how;
}

Fr DeferredSqueezes::last_output(size_t item) const {
  const std::vector<Entry>& entries = items_.at(item).entries;
  if (entries.empty() || !entries.back().ready) fail_hard("assertion failed: the item's squeeze has run");
  return entries.back().output;
}

void DeferredSqueezes::close(size_t item) {
  items_.at(item).open = false;
  std::erase(open_, item);
}

Fr DeferredSqueezes::squeeze(const Spec& spec, State& state) {
  if (active_ == nullptr || &spec != &lane_spec_->spec()) return permute_squeeze(spec, state);
  if (missed_) {
    squeezed_after_miss_ = true;
    return Fr::zero();
  }
  const size_t j = call_++;
  std::vector<Entry>& entries = active_->entries;
  if (j < entries.size() && entries[j].ready && same_state(entries[j].input, state)) {
    state.words[1] = entries[j].output;
    return entries[j].output;
  }
  if (!recording_) return permute_squeeze(spec, state);
  entries.resize(j);
  entries.push_back(Entry{state, Fr::zero(), false});
  missed_ = true;
  return Fr::zero();
}

void DeferredSqueezes::flush() {
  std::vector<State> states;
  std::vector<Entry*> pending;
  for (size_t i : open_) {
    for (Entry& e : items_[i].entries) {
      if (!e.ready) {
        states.push_back(e.input);
        pending.push_back(&e);
      }
    }
  }
  std::vector<Fr> out(states.size());
  permute_squeeze_many(*lane_spec_, states, out, kernel_);
  for (size_t n = 0; n < pending.size(); ++n) {
    pending[n]->output = out[n];
    pending[n]->ready = true;
  }
  std::erase_if(open_, [&](size_t i) { return !items_[i].open; });
}

}  // namespace quillet::poseidon
