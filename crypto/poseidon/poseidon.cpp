#include "crypto/poseidon/poseidon.hpp"

#include <algorithm>
#include <utility>

#include "crypto/failure.hpp"

namespace quillet::poseidon {
namespace {

constexpr size_t kFullRounds = 8;
constexpr size_t kPartialRounds = 63;

inline void sbox(Fr& x) {
  Fr t = x;
  t.square();
  x.mul_assign(t);
  x.mul_assign(t);
}

inline void sbox_full(State& s) {
  for (Fr& x : s.words) sbox(x);
}

inline void apply_mds(const MDSMatrix& m, State& s) { s.words = MDSMatrix::mul_vector(m, s.words); }

// x[0] = first_row · w and x[i] = first_column[i-1]·w[0] + w[i].
inline void apply_sparse(const SparseMDSMatrix& m, State& s) {
  const Row w = s.words;
  Fr first;
  for (size_t j = 0; j < kWidth; ++j) first.add_assign(m.first_row[j] * w[j]);
  s.words[0] = first;
  for (size_t i = 1; i < kWidth; ++i) s.words[i] = m.first_column[i - 1] * w[0] + w[i];
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

void permute(const Spec& spec, State& state) {
  const size_t h = spec.r_f / 2;
  const auto& start = spec.constants.start_constants;
  const auto& mds = spec.mds_matrices.mds_matrix;

  state.add_constants(start[0]);
  for (size_t k = 1; k < h; ++k) {
    sbox_full(state);
    state.add_constants(start[k]);
    apply_mds(mds, state);
  }
  sbox_full(state);
  state.add_constants(start[h]);
  apply_mds(spec.mds_matrices.transition_matrix, state);

  const auto& partial = spec.constants.partial_constants;
  const auto& sparse = spec.mds_matrices.sparse_matrices;
  const size_t rounds = std::min(partial.size(), sparse.size());
  for (size_t k = 0; k < rounds; ++k) {
    sbox(state.words[0]);
    state.words[0].add_assign(partial[k]);
    apply_sparse(sparse[k], state);
  }

  for (const Row& e : spec.constants.end_constants) {
    sbox_full(state);
    state.add_constants(e);
    apply_mds(mds, state);
  }
  sbox_full(state);
  apply_mds(mds, state);
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
