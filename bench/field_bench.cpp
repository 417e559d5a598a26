// Fr multiplication and squaring on each kernel: one dependent chain (the
// latency) and eight independent chains (the throughput an out-of-order core
// reaches). The counter ns_per_op is the time of one operation.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "crypto/field/fr.hpp"

namespace {

using quillet::field::Fr;
using quillet::field::MulInstructions;

constexpr size_t kChains = 8;

Fr sample(uint64_t i) {
  return Fr::from_raw({0x243f6a8885a308d3ULL * (i + 1), 0x13198a2e03707344ULL ^ i, 0xa4093822299f31d0ULL,
                       0x082efa98ec4e6c89ULL + i});
}

bool skip_unsupported(benchmark::State& st, MulInstructions k) {
  if (k == MulInstructions::mulx_adx && Fr::fastest_instructions() != MulInstructions::mulx_adx) {
    st.SkipWithError("MULX/ADX not available");
    return true;
  }
  return false;
}

void per_op(benchmark::State& st, size_t ops_per_iteration) {
  st.counters["ns_per_op"] = benchmark::Counter(static_cast<double>(st.iterations() * ops_per_iteration),
                                                benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

template <MulInstructions K>
void BM_FrMulChain(benchmark::State& st) {
  if (skip_unsupported(st, K)) return;
  Fr a = sample(1);
  const Fr b = sample(2);
  for (auto _ : st) {
    a.mul_assign_with<K>(b);
    benchmark::DoNotOptimize(a);
  }
  per_op(st, 1);
}

template <MulInstructions K>
void BM_FrMulIndependent(benchmark::State& st) {
  if (skip_unsupported(st, K)) return;
  std::array<Fr, kChains> a;
  for (size_t i = 0; i < kChains; ++i) a[i] = sample(i + 3);
  const Fr b = sample(2);
  for (auto _ : st) {
    for (Fr& x : a) x.mul_assign_with<K>(b);
    benchmark::DoNotOptimize(a);
  }
  per_op(st, kChains);
}

template <MulInstructions K>
void BM_FrSquareChain(benchmark::State& st) {
  if (skip_unsupported(st, K)) return;
  Fr a = sample(1);
  for (auto _ : st) {
    a.square_with<K>();
    benchmark::DoNotOptimize(a);
  }
  per_op(st, 1);
}

template <MulInstructions K>
void BM_FrSquareIndependent(benchmark::State& st) {
  if (skip_unsupported(st, K)) return;
  std::array<Fr, kChains> a;
  for (size_t i = 0; i < kChains; ++i) a[i] = sample(i + 3);
  for (auto _ : st) {
    for (Fr& x : a) x.square_with<K>();
    benchmark::DoNotOptimize(a);
  }
  per_op(st, kChains);
}

// The plain operation, with its per-call kernel choice.
void BM_FrMulDispatched(benchmark::State& st) {
  std::array<Fr, kChains> a;
  for (size_t i = 0; i < kChains; ++i) a[i] = sample(i + 3);
  const Fr b = sample(2);
  for (auto _ : st) {
    for (Fr& x : a) x.mul_assign(b);
    benchmark::DoNotOptimize(a);
  }
  per_op(st, kChains);
}

template <MulInstructions K>
void BM_FrSumOfProducts9(benchmark::State& st) {
  if (skip_unsupported(st, K)) return;
  std::array<Fr, 9> a;
  std::array<Fr, 9> b;
  for (size_t i = 0; i < 9; ++i) {
    a[i] = sample(i + 20);
    b[i] = sample(i + 40);
  }
  for (auto _ : st) {
    a[0] = Fr::sum_of_products_with<K>(a, b);
    benchmark::DoNotOptimize(a);
  }
}

BENCHMARK(BM_FrMulChain<MulInstructions::portable>);
BENCHMARK(BM_FrMulChain<MulInstructions::mulx_adx>);
BENCHMARK(BM_FrMulIndependent<MulInstructions::portable>);
BENCHMARK(BM_FrMulIndependent<MulInstructions::mulx_adx>);
BENCHMARK(BM_FrSquareChain<MulInstructions::portable>);
BENCHMARK(BM_FrSquareChain<MulInstructions::mulx_adx>);
BENCHMARK(BM_FrSquareIndependent<MulInstructions::portable>);
BENCHMARK(BM_FrSquareIndependent<MulInstructions::mulx_adx>);
BENCHMARK(BM_FrMulDispatched);
BENCHMARK(BM_FrSumOfProducts9<MulInstructions::portable>);
BENCHMARK(BM_FrSumOfProducts9<MulInstructions::mulx_adx>);

}  // namespace
