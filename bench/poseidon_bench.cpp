// Field multiplication, the Poseidon permutation, whole word hashes and the
// one-time construction of the shared Poseidon prototype.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "crypto/field/fr.hpp"
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
