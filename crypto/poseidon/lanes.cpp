#include "crypto/poseidon/lanes.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "crypto/failure.hpp"

namespace quillet::poseidon {
namespace {

using field::lanes52::join52;
using field::lanes52::kLanes;
using field::lanes52::kLimbs;
using field::lanes52::Limbs;
using field::lanes52::split52;

Fr element0_value(const lanes52::Element0& e) { return from_words(e.words); }

void set_element0(lanes52::Element0& e, const Fr& x) {
  put_words(e.words, x);
  const Limbs l = split52(x.montgomery_limbs());
  for (size_t k = 0; k < kLimbs; ++k) e.limbs[k] = l.v[k];
}

const lanes52::Permutation::Entries& kernel(LaneKernel k) {
  return field::lanes52::lane_entries<lanes52::Permutation>(k);
}

// Up to eight states through one kernel call; the elements in [first, last)
// come back.
void run_block(const LaneSpec& spec, std::span<State> states, bool squeeze_only, LaneKernel k) {
  lanes52::Block b{};
  for (size_t lane = 0; lane < states.size(); ++lane) {
    for (size_t e = 0; e < kWidth; ++e) {
      const Limbs l = split52(states[lane].words[e].montgomery_limbs());
      for (size_t i = 0; i < kLimbs; ++i) b.words[e][i][lane] = l.v[i];
    }
  }
  kernel(k).permute(spec.constants(), b, squeeze_only);
  const size_t first = squeeze_only ? 1 : 0;
  const size_t last = squeeze_only ? 2 : kWidth;
  for (size_t lane = 0; lane < states.size(); ++lane) {
    for (size_t e = first; e < last; ++e) {
      states[lane].words[e] = Fr::from_montgomery_limbs(join52(&b.words[e][0][lane], kLanes));
    }
  }
}

template <field::MulInstructions K, size_t T>
void element0_round(const LaneSpec& owner, size_t start, Fr& e, std::array<Fr, kLanes>& u,
                    const uint64_t (*d)[kLanes]) {
  const Spec& spec = owner.spec();
  const size_t k = start + T;
  Fr x = e;
  sbox<K>(x);
  x.add_assign(spec.constants.partial_constants[k]);
  u[T] = x;
  std::array<const Fr*, T + 1> a{};
  std::array<const Fr*, T + 1> b{};
  for (size_t j = 0; j < T; ++j) {
    a[j] = &owner.one_state_terms()[k][j];
    b[j] = &u[j];
  }
  a[T] = &spec.mds_matrices.sparse_matrices[k].first_row[0];
  b[T] = &u[T];
  e = Fr::sum_of_products_plus_with<K, T + 1>(Fr::from_montgomery_limbs(join52(&d[0][T], kLanes)), a, b);
}

template <field::MulInstructions K, size_t... T>
void element0_rounds(const LaneSpec& owner, size_t start, size_t n, Fr& e, std::array<Fr, kLanes>& u,
                     const uint64_t (*d)[kLanes], std::index_sequence<T...>) {
  ((T < n ? element0_round<K, T>(owner, start, e, u, d) : void()), ...);
}

void run_one_state(const LaneSpec& spec, State& state, bool squeeze_only, LaneKernel k) {
  uint64_t words[kWidth][4];
  for (size_t e = 0; e < kWidth; ++e) put_words(words[e], state.words[e]);
  kernel(k).one_state(spec.constants(), spec.one_state(), words, squeeze_only);
  for (size_t e = 0; e < kWidth; ++e) state.words[e] = from_words(words[e]);
}

}  // namespace

void permute_squeeze_many(const LaneSpec& spec, std::span<State> states, std::span<Fr> out, LaneKernel k) {
  if (out.size() != states.size()) fail_hard("assertion failed: one output per state");
  if (k == LaneKernel::scalar) {
    for (size_t i = 0; i < states.size(); ++i) out[i] = permute_squeeze(spec.spec(), states[i]);
    return;
  }
  for (size_t i = 0; i < states.size(); i += kLanes) {
    const auto group = states.subspan(i, std::min(kLanes, states.size() - i));
    run_block(spec, group, true, k);
    for (size_t j = 0; j < group.size(); ++j) out[i + j] = group[j].words[1];
  }
}

void permute_one(const LaneSpec& spec, State& state, bool squeeze_only, LaneKernel k) {
  if (k == LaneKernel::scalar) {
    permute_scalar(spec.spec(), state, squeeze_only);
    return;
  }
  run_one_state(spec, state, squeeze_only, k);
}

void permute_many(const LaneSpec& spec, std::span<State> states, LaneKernel k) {
  if (k == LaneKernel::scalar) {
    for (State& s : states) permute(spec.spec(), s);
    return;
  }
  for (size_t i = 0; i < states.size(); i += kLanes) {
    run_block(spec, states.subspan(i, std::min(kLanes, states.size() - i)), false, k);
  }
}

namespace lanes52 {

void element0_sbox_add(Element0& e, const uint64_t* c) {
  Fr x = element0_value(e);
  Fr t = x;
  t.square();
  t.square();
  x.mul_assign(t);
  if (c != nullptr) x.add_assign(from_words(c));
  set_element0(e, x);
}

void element0_add(Element0& e, const uint64_t* c) {
  Fr x = element0_value(e);
  x.add_assign(from_words(c));
  set_element0(e, x);
}

void element0_row(Element0& e, const uint64_t (*row0)[4], const uint64_t (*v)[kLanes]) {
  Row a;
  Row b;
  a[0] = from_words(row0[0]);
  b[0] = element0_value(e);
  for (size_t j = 1; j < kWidth; ++j) {
    a[j] = from_words(row0[j]);
    b[j] = Fr::from_montgomery_limbs(join52(&v[0][j - 1], kLanes));
  }
  set_element0(e, Fr::sum_of_products(a, b));
}

void element0_partial(const LaneSpec& owner, size_t start, size_t n, Element0& e, const uint64_t (*d)[kLanes],
                      uint64_t (*u)[kLanes]) {
  Fr x = element0_value(e);
  std::array<Fr, kLanes> out;
  if (Fr::fastest_instructions() == field::MulInstructions::mulx_adx) {
    element0_rounds<field::MulInstructions::mulx_adx>(owner, start, n, x, out, d, std::make_index_sequence<kLanes>{});
  } else {
    element0_rounds<field::MulInstructions::portable>(owner, start, n, x, out, d, std::make_index_sequence<kLanes>{});
  }
  for (size_t t = 0; t < n; ++t) {
    const Limbs l = split52(out[t].montgomery_limbs());
    for (size_t k = 0; k < kLimbs; ++k) u[k][t] = l.v[k];
  }
  set_element0(e, x);
}

}  // namespace lanes52
}  // namespace quillet::poseidon
