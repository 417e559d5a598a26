#include "sdk/src/batch/verify_schedule.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "crypto/random/random_bytes.hpp"

namespace quillet::sdk {
namespace {

namespace batch = jubjub::batch;
using batch::Extended;
using field::Fr;
using jubjub::BatchSignature;
using jubjub::Fs;
using jubjub::FsRepr;
using jubjub::PublicKey;

// Ranges of pairing values per thread: short pieces, around which the
// longer ones of their stage (the forms, the draws) even out.
constexpr unsigned kValueRangesPerThread = 4;
// Parts of the first run's weighing, beside the subgroup check's last stage.
constexpr size_t kWeighParts = 4;
// The fewest members whose combination is worth a stage of several threads.
constexpr size_t kSpreadMin = 32;
// A combination's tables in parts sized by their scalars' bits (a key's has
// twice a weight's; an R part still measures about 1.4 key parts), after a
// quarter of the R terms' made beside the key sums (which cost about as much).
constexpr size_t kKeyParts = 6;
constexpr size_t kRParts = 2;

// The negated affine points, and a run's weights and weigh()'s scalars by
// member: the first run's made beside the subgroup check (as a rule the
// run is every signature), a later run's by its own.
struct RunInputs {
  explicit RunInputs(size_t first_run) : weights(first_run), zs(first_run), zc(first_run) {}

  std::vector<Extended> neg_keys, neg_r;
  std::vector<FsRepr> weights;
  std::vector<Fs> zs, zc;
  std::array<bool, 2> halves_drawn{};

  bool drawn() const { return halves_drawn[0] && halves_drawn[1]; }

  void draw(size_t count) {
    weights.resize(count);
    halves_drawn[0] = halves_drawn[1] = batch::draw_weights(weights);
  }

  // weigh() for each member of the run `index`, weights in its order.
  void weigh(std::span<const BatchSignature> sigs, std::span<const size_t> index, const Spread& spread) {
    zs.resize(index.size());
    zc.resize(index.size());
    spread.for_ranges(index.size(), 4, [&](size_t lo, size_t hi) {
      for (size_t m = lo; m < hi; ++m) batch::weigh(sigs[index[m]], weights[m], zs[m], zc[m]);
    });
  }

  // The run `index` of the candidates, starting at candidate `start`.
  batch::Run run(std::span<const BatchSignature> sigs, std::span<const size_t> index, size_t start) const {
    const size_t count = index.size();
    return {neg_keys,
            sigs,
            index,
            std::span(weights).first(count),
            std::span(neg_r).subspan(start, count),
            std::span(zs).first(count),
            std::span(zc).first(count)};
  }
};

// The subgroup check of the batch's points as stages, with the first run's
// preparation beside them. Beside the first stage (many short pieces): the
// negated affine forms of the keys and of every R, and the first run's
// weights in two halves (drawing them takes longer than either form); a
// point outside the subgroup gets its form too, unused. Beside the last
// stage (few long pieces), whichever way the check goes: weigh() for the
// first run's signatures, in parts.
class SubgroupStages {
 public:
  SubgroupStages(const batch::SubgroupPoints& checked, std::span<const PublicKey> keys,
                 std::span<const BatchSignature> sigs, RunInputs& inputs, const Spread& spread)
      : points_(checked.points), keys_(keys), sigs_(sigs), inputs_(inputs), spread_(spread),
        pass_(points_.size(), 0) {}

  // Each point's verdict (1: in the subgroup).
  std::vector<uint8_t> run() {
    values_beside_forms_and_weights();
    keep_nonzero_values();
    if (f_.size() < batch::kMinSharedQueries || !subsets_drawn_[0] || !subsets_drawn_[1]) {
      each_alone(kWeighParts);
    } else if (!shared_queries_pass()) {
      each_alone(0);
    } else {
      for (size_t k : index_) pass_[k] = 1;
    }
    return std::move(pass_);
  }

 private:
  // Each point's pairing value, in ranges; the queries' subsets, drawn for
  // every point beside them in two halves (one draw alone would outlast a
  // range of values); the forms and weights.
  void values_beside_forms_and_weights() {
    const size_t n = points_.size();
    value_.resize(n);
    const size_t draws = n >= batch::kMinSharedQueries ? 2 : 0;
    subsets_.resize(draws != 0 ? batch::subset_bytes(n) : 0);
    const size_t ranges = n == 0 ? 0 : std::min<size_t>(n, size_t{spread_.width()} * kValueRangesPerThread);
    const auto values = [&](size_t k) {
      for (size_t i = k * n / ranges; i < (k + 1) * n / ranges; ++i) {
        value_[i] = batch::pairing_value_vartime(*points_[i]);
      }
    };
    const auto draw = [&](size_t h) {
      const std::span<uint8_t> all(subsets_);
      subsets_drawn_[h] = random::fill_random(h == 0 ? all.first(all.size() / 2) : all.subspan(all.size() / 2));
    };
    const auto forms_and_weights = [&](size_t i) {
      if (i == 0) {
        inputs_.neg_keys = batch::negated_affine_keys(keys_);
      } else if (i == 1) {
        inputs_.neg_r = batch::negated_affine_r(sigs_);
      } else {
        const std::span<FsRepr> all(inputs_.weights);
        const size_t half = all.size() / 2;
        inputs_.halves_drawn[i - 2] = batch::draw_weights(i == 2 ? all.first(half) : all.subspan(half));
      }
    };
    spread_.for_stage(Pieces{ranges, values}, Pieces{draws, draw}, Pieces{size_t{4}, forms_and_weights});
  }

  // The values that are not zero (zero: outside), and their points.
  void keep_nonzero_values() {
    f_.reserve(value_.size());
    index_.reserve(value_.size());
    for (size_t i = 0; i < value_.size(); ++i) {
      if (value_[i].is_zero()) continue;
      f_.push_back(value_[i]);
      index_.push_back(i);
    }
  }

  // Each value's power on its own, a range per thread (taken together
  // within it), beside `weigh_parts` parts of the weighing.
  void each_alone(size_t weigh_parts) {
    const size_t m = f_.size();
    const size_t pieces = std::min<size_t>(m, spread_.width());
    const auto powers = [&](size_t k) {
      const size_t lo = k * m / pieces, hi = (k + 1) * m / pieces;
      const std::vector<bool> one = batch::pairings_are_one_vartime(std::span(f_).subspan(lo, hi - lo));
      for (size_t q = lo; q < hi; ++q) pass_[index_[q]] = one[q - lo] ? 1 : 0;
    };
    const auto weigh = [this](size_t part) { this->weigh(part); };
    spread_.for_stage(Pieces{pieces, powers}, Pieces{weigh_parts, weigh});
  }

  // A range of blocks per thread: its products of four values, and every
  // query's product over them. Only these partial products cross between
  // threads (reading another thread's table costs more than making one's
  // own, measured, bench/verify_many_bench.cpp). Then a range of queries per
  // thread beside the weighing, cut at whole vectors of powers (the first
  // the longer): the weighing goes to the thread that ends first, rather
  // than every thread running a vector part full.
  bool shared_queries_pass() {
    const size_t blocks = batch::value_blocks(f_.size());
    const size_t parts = std::min<size_t>(spread_.width(), blocks);
    std::vector<batch::QueryProducts> partial(parts);
    spread_.for_each(parts, [&](size_t k) {
      partial[k] = batch::query_products_vartime(f_, subsets_, k * blocks / parts, (k + 1) * blocks / parts);
    });
    constexpr size_t kVectors = (batch::kSubgroupQueries + batch::kQueriesAtOnce - 1) / batch::kQueriesAtOnce;
    const size_t ranges = std::min<size_t>(spread_.width(), kVectors);
    const auto cut = [&](size_t k) {
      return std::min(batch::kSubgroupQueries, (k * kVectors + ranges - 1) / ranges * batch::kQueriesAtOnce);
    };
    std::vector<uint8_t> passed(ranges, 0);
    const auto queries = [&](size_t k) { passed[k] = batch::queries_pass_vartime(partial, cut(k), cut(k + 1)); };
    const auto weigh = [this](size_t part) { this->weigh(part); };
    spread_.for_stage(Pieces{ranges, queries}, Pieces{kWeighParts, weigh});
    return std::find(passed.begin(), passed.end(), 0) == passed.end();
  }

  // weigh() for a part of the first run (once its weights are drawn).
  void weigh(size_t part) const {
    if (!inputs_.drawn()) return;
    const size_t count = inputs_.weights.size();
    for (size_t i = part * count / kWeighParts; i < (part + 1) * count / kWeighParts; ++i) {
      batch::weigh(sigs_[i], inputs_.weights[i], inputs_.zs[i], inputs_.zc[i]);
    }
  }

  std::span<const Extended* const> points_;
  std::span<const PublicKey> keys_;
  std::span<const BatchSignature> sigs_;
  RunInputs& inputs_;
  const Spread& spread_;
  std::vector<uint8_t> pass_;
  std::vector<Fr> value_;
  std::vector<uint8_t> subsets_;
  std::array<bool, 2> subsets_drawn_{};
  std::vector<Fr> f_;          // the nonzero values
  std::vector<size_t> index_;  // their points
};

// A run's combinations on `spread`: each step a piece, stages fused where
// they are independent.
class ScheduledCombinations final : public batch::Combinations {
 public:
  ScheduledCombinations(const batch::Run& run, const Spread& spread) : run_(run), spread_(spread) {}

  Extended combination(std::span<const size_t> members, bool indexed) const override {
    const size_t n = members.size();
    batch::Combination terms(run_, members, indexed);
    if (terms.copies()) {
      // Copies alone are not worth a stage.
      const Spread& spread = n < kSpreadMin || !indexed ? serial_spread() : spread_;
      spread.for_ranges(n, 4, [&](size_t first, size_t last) { terms.fill(first, last); });
    }
    const Spread& spread = n < kSpreadMin ? serial_spread() : spread_;
    // The plans' tables in memory the calling thread keeps between calls:
    // made afresh, their first touch page-faulted on every call. The plans
    // die before this call returns, and the calls one thread makes never
    // overlap. Named here: a piece naming a thread_local gets its own
    // thread's.
    thread_local std::array<batch::MsmTables, 2> kept;
    batch::MsmTables* const tables = kept.data();
    std::optional<batch::MsmPlanVartime> r_plan, key_plan;
    const size_t r_first = n / 4;
    spread.for_each(2, [&](size_t i) {
      if (i == 0) {
        r_plan.emplace(terms.r_plan(&tables[0]));
        r_plan->make(0, r_first);
      } else {
        terms.sum_keys();
        key_plan.emplace(terms.key_plan(&tables[1]));
      }
    });
    // The rest of both plans' tables, taken as threads free up.
    const size_t k = terms.key_terms();
    spread.for_stage(
        Pieces{kKeyParts, [&](size_t i) { key_plan->make(i * k / kKeyParts, (i + 1) * k / kKeyParts); }},
        Pieces{kRParts, [&](size_t j) {
                 r_plan->make(r_first + j * (n - r_first) / kRParts, r_first + (j + 1) * (n - r_first) / kRParts);
               }});
    // The keys' pieces (one long piece when few) first, G's (in lanes where
    // they run: the one piece not cut to size ends sooner), then each window
    // or pass of the R terms; on two threads an odd pass out is cut in
    // halves, last.
    if (spread.width() == 2 && (r_plan->passes() + key_plan->passes()) % 2 == 1) r_plan->split_passes(1);
    std::vector<Extended> key_sums(key_plan->pieces()), r_sums(r_plan->pieces());
    Extended g_sum;
    spread.for_stage(Pieces{key_sums.size(), [&](size_t i) { key_sums[i] = key_plan->piece(i); }},
                     Pieces{size_t{1}, [&](size_t) { g_sum = terms.g_term(); }},
                     Pieces{r_sums.size(), [&](size_t i) { r_sums[i] = r_plan->piece(i); }});
    // Each plan's windows combined (the doublings), side by side.
    std::array<Extended, 2> parts;
    spread.for_each(2, [&](size_t i) { parts[i] = i == 0 ? key_plan->combine(key_sums) : r_plan->combine(r_sums); });
    return batch::Combination::total(parts[0], parts[1], g_sum);
  }

 private:
  const batch::Run& run_;
  const Spread& spread_;
};

// Each signature of the run `index` on its own (no weights: the generator
// failed).
void verify_each(std::span<const PublicKey> keys, std::span<const BatchSignature> sigs, std::span<const size_t> index,
                 const Spread& spread, std::vector<bool>& out) {
  std::vector<uint8_t> valid(index.size(), 0);
  spread.for_ranges(index.size(), 4, [&](size_t lo, size_t hi) {
    for (size_t m = lo; m < hi; ++m) {
      const BatchSignature& sig = sigs[index[m]];
      valid[m] = keys[sig.key].verify_for_raw_message(sig.msg, sig.signature) ? 1 : 0;
    }
  });
  for (size_t m = 0; m < index.size(); ++m) out[index[m]] = valid[m] != 0;
}

}  // namespace

std::vector<bool> verify_batch_vartime(std::span<const PublicKey> keys, std::span<const BatchSignature> sigs,
                                       const Spread& spread) {
  const batch::SubgroupPoints checked = batch::subgroup_points(keys, sigs);
  RunInputs inputs(std::min(jubjub::kMaxBatchRun, sigs.size()));
  const std::vector<uint8_t> in_subgroup = SubgroupStages(checked, keys, sigs, inputs, spread).run();
  const std::vector<size_t> candidates = batch::candidates(sigs, checked, in_subgroup);
  // The candidates' R forms in their order (as a rule, every signature's).
  const bool every = candidates.size() == sigs.size();
  if (!every) {
    std::vector<Extended> kept(candidates.size());
    for (size_t c = 0; c < candidates.size(); ++c) kept[c] = inputs.neg_r[candidates[c]];
    inputs.neg_r = std::move(kept);
  }
  std::vector<bool> out(sigs.size(), false);
  for (size_t start = 0; start < candidates.size(); start += jubjub::kMaxBatchRun) {
    const std::span<const size_t> index =
        std::span(candidates).subspan(start, std::min(jubjub::kMaxBatchRun, candidates.size() - start));
    if (start > 0) inputs.draw(index.size());
    if (!inputs.drawn()) {
      verify_each(keys, sigs, index, spread, out);
      continue;
    }
    if (start > 0 || !every) inputs.weigh(sigs, index, spread);
    const batch::Run run = inputs.run(sigs, index, start);
    const ScheduledCombinations combinations(run, spread);
    std::vector<size_t> members(index.size());
    for (size_t m = 0; m < members.size(); ++m) members[m] = m;
    batch::resolve_vartime(combinations, members, combinations.combination(members, false), index, out);
  }
  return out;
}

}  // namespace quillet::sdk
