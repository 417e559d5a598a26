// Square roots of ratios for decoding 256 points: one at a time, two at a
// time, and all together on each kernel of sqrt_ratio_many_vartime. The
// counter ns_per_root is the time of one root.
#include <benchmark/benchmark.h>

#include <vector>

#include "crypto/field/fr_algorithms.hpp"
#include "crypto/field/pow_many.hpp"

namespace {

using quillet::field::Fr;
using quillet::field::LaneKernel;

constexpr size_t kRatios = 256;

const std::vector<Fr>& values(uint64_t salt) {
  static std::vector<Fr> v[2];
  std::vector<Fr>& out = v[salt];
  if (out.empty()) {
    for (uint64_t i = 0; i < kRatios; ++i) out.push_back(Fr::from_raw({0x9e3779b97f4a7c15ULL * (i + 1 + salt), i, salt, 7}));
  }
  return out;
}

void per_root(benchmark::State& st) {
  st.counters["ns_per_root"] = benchmark::Counter(static_cast<double>(st.iterations() * kRatios),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_SqrtRatioOneByOne(benchmark::State& st) {
  const auto& u = values(0);
  const auto& v = values(1);
  for (auto _ : st) {
    for (size_t i = 0; i < kRatios; ++i) benchmark::DoNotOptimize(quillet::field::sqrt_ratio_vartime(u[i], v[i]));
  }
  per_root(st);
}
BENCHMARK(BM_SqrtRatioOneByOne)->Unit(benchmark::kMicrosecond);

void BM_SqrtRatioMany(benchmark::State& st) {
  const auto k = static_cast<LaneKernel>(st.range(0));
  if (!quillet::cpu::runs(k)) {
    st.SkipWithError("kernel not available");
    return;
  }
  st.SetLabel(std::string(quillet::field::lane_kernel_name(k)));
  for (auto _ : st) benchmark::DoNotOptimize(quillet::field::sqrt_ratio_many_vartime(values(0), values(1), k));
  per_root(st);
}
BENCHMARK(BM_SqrtRatioMany)
    ->Arg(static_cast<int>(LaneKernel::scalar))
    ->Arg(static_cast<int>(LaneKernel::ifma))
    ->Unit(benchmark::kMicrosecond);

// Powers to (r-1)/8 as the subgroup check takes them, by count (a tail of
// eight runs on one vector) and kernel.
void BM_PowMany(benchmark::State& st) {
  const auto count = static_cast<size_t>(st.range(0));
  const auto k = static_cast<LaneKernel>(st.range(1));
  if (!quillet::cpu::runs(k)) {
    st.SkipWithError("kernel not available");
    return;
  }
  st.SetLabel(std::string(quillet::field::lane_kernel_name(k)));
  namespace d = quillet::field::detail;
  const quillet::field::FrRepr e = d::shift_right(d::sub_word(Fr::kModulus, 1), 3);
  const auto x = std::span(values(0)).first(count);
  for (auto _ : st) benchmark::DoNotOptimize(quillet::field::pow_many_vartime(x, e, k));
}
BENCHMARK(BM_PowMany)
    ->ArgsProduct({{8, 16, 52, 104}, {static_cast<int>(LaneKernel::scalar), static_cast<int>(LaneKernel::ifma)}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
