#include "crypto/poseidon/poseidon.hpp"

#include <algorithm>
#include <utility>

#include "crypto/failure.hpp"

namespace quillet::poseidon {
namespace {

using field::Kernel;

constexpr size_t kFullRounds = 8;
constexpr size_t kPartialRounds = 63;

// x^5 as x·(x^2)^2: two squarings and one multiplication.
template <Kernel K>
inline void sbox(Fr& x) {
  Fr t = x;
  t.square_with<K>();
  t.square_with<K>();
  x.mul_assign_with<K>(t);
}

template <Kernel K>
inline void sbox_full(State& s) {
  for (Fr& x : s.words) sbox<K>(x);
}

// s = m·s, each row a sum of products with one reduction.
template <Kernel K>
inline void apply_mds(const MDSMatrix& m, State& s) {
  const Row w = s.words;
  for (size_t i = 0; i < kWidth; ++i) s.words[i] = Fr::sum_of_products_with<K>(m[i], w);
}

// x[0] = first_row · w and x[i] = first_column[i-1]·w[0] + w[i].
template <Kernel K>
inline void apply_sparse(const SparseMDSMatrix& m, State& s) {
  const Fr w0 = s.words[0];
  s.words[0] = Fr::sum_of_products_with<K>(m.first_row, s.words);
  for (size_t i = 1; i < kWidth; ++i) {
    Fr t = m.first_column[i - 1];
    t.mul_assign_with<K>(w0);
    s.words[i].add_assign(t);
  }
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

template <Kernel K>
void permute_with(const Spec& spec, State& state) {
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

  const auto& partial = spec.constants.partial_constants;
  const auto& sparse = spec.mds_matrices.sparse_matrices;
  const size_t rounds = std::min(partial.size(), sparse.size());
  for (size_t k = 0; k < rounds; ++k) {
    sbox<K>(state.words[0]);
    state.words[0].add_assign(partial[k]);
    apply_sparse<K>(sparse[k], state);
  }

  for (const Row& e : spec.constants.end_constants) {
    sbox_full<K>(state);
    state.add_constants(e);
    apply_mds<K>(mds, state);
  }
  sbox_full<K>(state);
  apply_mds<K>(mds, state);
}

template void permute_with<Kernel::portable>(const Spec&, State&);
template void permute_with<Kernel::mulx_adx>(const Spec&, State&);

void permute(const Spec& spec, State& state) {
  if (Fr::fastest_kernel() == Kernel::mulx_adx) {
    permute_with<Kernel::mulx_adx>(spec, state);
  } else {
    permute_with<Kernel::portable>(spec, state);
  }
}

Poseidon::Poseidon(std::shared_ptr<const Spec> spec) : spec_(std::move(spec)), state_(State::initial()) {}

Fr Poseidon::update_exact(const std::array<Fr, kRate>& block) {
  if (!absorbing_.empty()) fail_hard("assertion failed: self.absorbing.len() == 0");
  for (size_t i = 0; i < kRate; ++i) state_.words[i + 1].add_assign(block[i]);
  permute(*spec_, state_);
  return state_.words[1];
}

Poseidon build_poseidon_hasher() {
  return Poseidon(std::make_shared<const Spec>(Spec::create(kFullRounds, kPartialRounds)));
}

const Poseidon& poseidon_hasher() {
  // A function-local static: its initialisation runs once, and concurrent
  // first callers block until it has finished. Should the build fail hard,
  // the next caller tries again.
  static const Poseidon instance = build_poseidon_hasher();
  return instance;
}

}  // namespace quillet::poseidon
