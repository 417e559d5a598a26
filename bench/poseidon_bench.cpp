// Field multiplication, the Poseidon permutation, whole word hashes and the
// one-time construction of the shared Poseidon prototype.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "crypto/field/fr.hpp"
#include "crypto/poseidon/lanes.hpp"
#include "crypto/poseidon/poseidon.hpp"
#include "sdk/src/hashing/poseidon_hasher.hpp"

namespace {

using quillet::field::Fr;

void BM_FrMul(benchmark::State& st) {
  Fr a = Fr::from_u128(0x0123456789abcdefULL, 0xfedcba9876543210ULL);
  const Fr b = Fr::from_raw({0x243f6a8885a308d3ULL, 0x13198a2e03707344ULL, 0xa4093822299f31d0ULL, 0x082efa98ec4e6c89ULL});
  for (auto _ : st) {
    a.mul_assign(b);
    benchmark::DoNotOptimize(a);
  }
}
BENCHMARK(BM_FrMul);

void BM_Permutation(benchmark::State& st) {
  const quillet::poseidon::Poseidon& proto = quillet::poseidon::poseidon_hasher();
  quillet::poseidon::State state = proto.state();
  for (auto _ : st) {
    quillet::poseidon::permute(proto.spec(), state);
    benchmark::DoNotOptimize(state);
  }
}
BENCHMARK(BM_Permutation);

// The permutation's parts: the scalar permutation, its partial rounds alone
// (the full rounds are the difference), and the permutation with the full
// rounds on each lane kernel (scalar: the scalar permutation again).
void BM_PermutationScalar(benchmark::State& st) {
  const quillet::poseidon::Poseidon& proto = quillet::poseidon::poseidon_hasher();
  quillet::poseidon::State state = proto.state();
  for (auto _ : st) {
    quillet::poseidon::permute_scalar(proto.spec(), state, false);
    benchmark::DoNotOptimize(state);
  }
}
BENCHMARK(BM_PermutationScalar);

void BM_PermutationPartialRounds(benchmark::State& st) {
  const quillet::poseidon::Poseidon& proto = quillet::poseidon::poseidon_hasher();
  quillet::poseidon::State state = proto.state();
  for (auto _ : st) {
    quillet::poseidon::partial_rounds(proto.spec(), state);
    benchmark::DoNotOptimize(state);
  }
}
BENCHMARK(BM_PermutationPartialRounds);

void BM_PermutationOneState(benchmark::State& st, quillet::poseidon::LaneKernel k) {
  if (!quillet::cpu::runs(k)) {
    st.SkipWithError("kernel not available on this processor");
    return;
  }
  const auto& spec = quillet::poseidon::hasher_lane_spec();
  quillet::poseidon::State state = quillet::poseidon::poseidon_hasher().state();
  for (auto _ : st) {
    quillet::poseidon::permute_one(spec, state, false, k);
    benchmark::DoNotOptimize(state);
  }
}
BENCHMARK_CAPTURE(BM_PermutationOneState, ifma, quillet::poseidon::LaneKernel::ifma);

// The one-state IFMA kernel without its partial rounds: its full rounds' share.
void BM_PermutationOneStateFullRounds(benchmark::State& st) {
  if (!quillet::cpu::runs(quillet::poseidon::LaneKernel::ifma)) {
    st.SkipWithError("kernel not available on this processor");
    return;
  }
  const auto& spec = quillet::poseidon::hasher_lane_spec();
  quillet::poseidon::lanes52::Constants c = spec.constants();
  c.partial_rounds = 0;
  uint64_t words[quillet::poseidon::kWidth][4] = {};
  const auto& kernel = quillet::field::lanes52::lane_entries<quillet::poseidon::lanes52::Permutation>(
      quillet::poseidon::LaneKernel::ifma);
  for (auto _ : st) {
    kernel.one_state(c, spec.one_state(), words, false);
    benchmark::DoNotOptimize(words);
  }
}
BENCHMARK(BM_PermutationOneStateFullRounds);

void BM_PoseidonHasher(benchmark::State& st) {
  quillet::poseidon::poseidon_hasher();  // keep the one-time build out of the loop
  const auto words = static_cast<uint64_t>(st.range(0));
  for (auto _ : st) {
    quillet::sdk::hashing::PoseidonHasher h;
    for (uint64_t i = 0; i < words; ++i) h.update(0x9e3779b97f4a7c15ULL * (i + 1));
    benchmark::DoNotOptimize(h.finalize());
  }
}
BENCHMARK(BM_PoseidonHasher)->Arg(16)->Arg(20);

void BM_BuildPoseidonHasher(benchmark::State& st) {
  for (auto _ : st) benchmark::DoNotOptimize(quillet::poseidon::build_poseidon_hasher());
}
BENCHMARK(BM_BuildPoseidonHasher)->Unit(benchmark::kMillisecond);

}  // namespace
