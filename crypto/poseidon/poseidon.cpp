#include "crypto/poseidon/poseidon.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <utility>

#include "crypto/failure.hpp"
#include "crypto/immortal.hpp"
#include "crypto/poseidon/lanes.hpp"

namespace quillet::poseidon {
namespace {

using field::MulInstructions;

constexpr size_t kFullRounds = 8;
constexpr size_t kPartialRounds = 63;

template <MulInstructions K>
inline void sbox_full(State& s) {
  for (Fr& x : s.words) sbox<K>(x);
}

// s = m·s, each row a sum of products with one reduction.
template <MulInstructions K>
inline void apply_mds(const MDSMatrix& m, State& s) {
  const Row w = s.words;
  for (size_t i = 0; i < kWidth; ++i) s.words[i] = Fr::sum_of_products_with<K>(m[i], w);
}

// x[0] = first_row · w and x[i] = first_column[i-1]·w[0] + w[i].
template <MulInstructions K>
inline void apply_sparse(const SparseMDSMatrix& m, State& s) {
  const Fr w0 = s.words[0];
  s.words[0] = Fr::sum_of_products_with<K>(m.first_row, s.words);
  for (size_t i = 1; i < kWidth; ++i) {
    Fr t = m.first_column[i - 1];
    t.mul_assign_with<K>(w0);
    s.words[i].add_assign(t);
  }
}

// Round T of a block of partial rounds starting at round `start`, on the
// state whose elements 1 to 8 still hold their values from the block's
// start: u[0..T-1] are the S-box outputs of the block's earlier rounds, whose
// contributions to elements 1 to 8 are still pending. Element 0 becomes
// first_row · (u[T], x[1] + pending, ..., x[8] + pending), with the pending
// parts folded into the block terms: one sum of 9 + T products. u[T] is set.
template <MulInstructions K, size_t T>
inline void block_round(const Spec& spec, size_t start, State& s, Fr* u) {
  const size_t k = start + T;
  const SparseMDSMatrix& m = spec.mds_matrices.sparse_matrices[k];
  Fr w0 = s.words[0];
  sbox<K>(w0);
  w0.add_assign(spec.constants.partial_constants[k]);
  u[T] = w0;
  std::array<const Fr*, 9 + T> a{};
  std::array<const Fr*, 9 + T> b{};
  for (size_t i = 0; i < 8; ++i) {
    a[i] = &m.first_row[i + 1];
    b[i] = &s.words[i + 1];
  }
  for (size_t j = 0; j < T; ++j) {
    a[8 + j] = &spec.block_terms[k][j];
    b[8 + j] = &u[j];
  }
  a[8 + T] = &m.first_row[0];
  b[8 + T] = &u[T];
  s.words[0] = Fr::sum_of_products_with<K, 9 + T>(a, b);
}

template <MulInstructions K, size_t N, size_t... T>
inline void block_rounds(const Spec& spec, size_t start, State& s, std::array<Fr, N>& u, std::index_sequence<T...>) {
  (block_round<K, T>(spec, start, s, u.data()), ...);
}

// N partial rounds from round `start`: element 0 round by round, then
// elements 1 to 8 once, each as its start value plus the N pending products
// with one reduction.
template <MulInstructions K, size_t N>
inline void partial_block(const Spec& spec, size_t start, State& s) {
  std::array<Fr, N> u;
  block_rounds<K, N>(spec, start, s, u, std::make_index_sequence<N>{});
  const auto& sparse = spec.mds_matrices.sparse_matrices;
  std::array<const Fr*, N> b{};
  for (size_t j = 0; j < N; ++j) b[j] = &u[j];
  for (size_t i = 1; i < kWidth; ++i) {
    std::array<const Fr*, N> a{};
    for (size_t j = 0; j < N; ++j) a[j] = &sparse[start + j].first_column[i - 1];
    s.words[i] = Fr::sum_of_products_plus_with<K, N>(s.words[i], a, b);
  }
}

// The last rounds - start rounds, fewer than N + 1, as one shorter block.
template <MulInstructions K, size_t N>
inline void partial_tail(const Spec& spec, size_t start, size_t rounds, State& s) {
  if constexpr (N > 0) {
    if (rounds - start == N) {
      partial_block<K, N>(spec, start, s);
    } else {
      partial_tail<K, N - 1>(spec, start, rounds, s);
    }
  }
}

// The partial rounds in blocks; round by round when the Spec carries no
// block terms.
template <MulInstructions K>
void partial_rounds_with(const Spec& spec, State& state) {
  const auto& partial = spec.constants.partial_constants;
  const auto& sparse = spec.mds_matrices.sparse_matrices;
  const size_t rounds = std::min(partial.size(), sparse.size());
  if (spec.block_terms.size() < rounds) {
    for (size_t k = 0; k < rounds; ++k) {
      sbox<K>(state.words[0]);
      state.words[0].add_assign(partial[k]);
      apply_sparse<K>(sparse[k], state);
    }
    return;
  }
  size_t k = 0;
  for (; k + kPartialBlock <= rounds; k += kPartialBlock) partial_block<K, kPartialBlock>(spec, k, state);
  partial_tail<K, kPartialBlock - 1>(spec, k, rounds, state);
}

}  // namespace

State State::initial() {
  State s{};
  s.words[0] = Fr::from_u128(0, 1);
  return s;
}

void State::add_constants(const Row& row) {
  for (size_t i = 0; i < kWidth; ++i) words[i].add_assign(row[i]);
}

namespace {

// The permutation; with kSqueezeOnly its last matrix step computes element 1
// alone.
template <MulInstructions K, bool kSqueezeOnly>
void permute_impl(const Spec& spec, State& state) {
  const size_t h = spec.r_f / 2;
  const auto& start = spec.constants.start_constants;
  const auto& mds = spec.mds_matrices.mds_matrix;

  state.add_constants(start[0]);
  for (size_t k = 1; k < h; ++k) {
    sbox_full<K>(state);
    state.add_constants(start[k]);
    apply_mds<K>(mds, state);
  }
  sbox_full<K>(state);
  state.add_constants(start[h]);
  apply_mds<K>(spec.mds_matrices.transition_matrix, state);

  partial_rounds_with<K>(spec, state);

  for (const Row& e : spec.constants.end_constants) {
    sbox_full<K>(state);
    state.add_constants(e);
    apply_mds<K>(mds, state);
  }
  sbox_full<K>(state);
  if constexpr (kSqueezeOnly) {
    state.words[1] = Fr::sum_of_products_with<K>(mds[1], state.words);
  } else {
    apply_mds<K>(mds, state);
  }
}

}  // namespace

template <MulInstructions K>
void permute_with(const Spec& spec, State& state) {
  permute_impl<K, false>(spec, state);
}

template <MulInstructions K>
Fr permute_squeeze_with(const Spec& spec, State& state) {
  permute_impl<K, true>(spec, state);
  return state.words[1];
}

template void permute_with<MulInstructions::portable>(const Spec&, State&);
template void permute_with<MulInstructions::mulx_adx>(const Spec&, State&);
template Fr permute_squeeze_with<MulInstructions::portable>(const Spec&, State&);
template Fr permute_squeeze_with<MulInstructions::mulx_adx>(const Spec&, State&);

void permute_scalar(const Spec& spec, State& state, bool squeeze_only) {
  const bool mulx = Fr::fastest_instructions() == MulInstructions::mulx_adx;
  if (squeeze_only) {
    mulx ? permute_impl<MulInstructions::mulx_adx, true>(spec, state) : permute_impl<MulInstructions::portable, true>(spec, state);
  } else {
    mulx ? permute_impl<MulInstructions::mulx_adx, false>(spec, state) : permute_impl<MulInstructions::portable, false>(spec, state);
  }
}

void partial_rounds(const Spec& spec, State& state) {
  if (Fr::fastest_instructions() == MulInstructions::mulx_adx) {
    partial_rounds_with<MulInstructions::mulx_adx>(spec, state);
  } else {
    partial_rounds_with<MulInstructions::portable>(spec, state);
  }
}

namespace {

// The hasher's permutations run on the one-state IFMA kernel where the
// processor has it: it measures faster than scalar code there.
void permute_dispatch(const Spec& spec, State& state, bool squeeze_only) {
  if (lane_kernel() == LaneKernel::ifma && &spec == &poseidon_hasher().spec()) {
    permute_one(hasher_lane_spec(), state, squeeze_only, LaneKernel::ifma);
  } else {
    permute_scalar(spec, state, squeeze_only);
  }
}

}  // namespace

void permute(const Spec& spec, State& state) { permute_dispatch(spec, state, false); }

Fr permute_squeeze(const Spec& spec, State& state) {
  permute_dispatch(spec, state, true);
  return state.words[1];
}

Poseidon::Poseidon(std::shared_ptr<const Spec> spec) : spec_(std::move(spec)), state_(State::initial()) {}

void Poseidon::absorb(const std::array<Fr, kRate>& block) {
  if (spent_) fail_hard("assertion failed: the sponge has not squeezed its last block");
  for (size_t i = 0; i < kRate; ++i) state_.words[i + 1].add_assign(block[i]);
}

Fr Poseidon::update_exact(const std::array<Fr, kRate>& block) {
  absorb(block);
  permute(*spec_, state_);
  return state_.words[1];
}

Fr Poseidon::update_final(const std::array<Fr, kRate>& block, Squeezer* squeezer) {
  absorb(block);
  spent_ = true;
  if (squeezer != nullptr) return squeezer->squeeze(*spec_, state_);
  return permute_squeeze(*spec_, state_);
}

Poseidon build_poseidon_hasher() {
  return Poseidon(std::make_shared<const Spec>(Spec::create(kFullRounds, kPartialRounds)));
}

const Poseidon& poseidon_hasher() {
  // Built once, never destroyed, safe across fork (immortal.hpp). Concurrent
  // first callers wait for the build; should it fail hard, the next caller
  // tries again.
  static constinit Immortal<Spec> spec;
  static constinit Immortal<Poseidon> instance;
  return instance.get([] {
    // Every hash copies this sponge. An owning pointer would count each copy
    // on one shared counter, beside the Spec's own fields, a cache line that
    // threads hashing at once would take from each other on every copy; the
    // Spec outlives every copy, so they hold it without a count.
    const Spec& built = spec.get([] { return Spec::create(kFullRounds, kPartialRounds); });
    return Poseidon(std::shared_ptr<const Spec>(std::shared_ptr<const Spec>(), &built));
  });
}

}  // namespace quillet::poseidon
