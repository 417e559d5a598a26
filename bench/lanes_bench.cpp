// Many permutations through each lane kernel the processor runs, per state,
// beside the single permutation of poseidon_bench.cpp.
#include <benchmark/benchmark.h>

#include <vector>

#include "crypto/poseidon/lanes.hpp"

namespace {

using quillet::poseidon::LaneKernel;

void BM_PermuteSqueezeMany(benchmark::State& st, LaneKernel k) {
  if (!quillet::poseidon::lane_kernel_available(k)) {
    st.SkipWithError("kernel not available on this processor");
    return;
  }
  const auto& spec = quillet::poseidon::hasher_lane_spec();
  const size_t n = static_cast<size_t>(st.range(0));
  std::vector<quillet::poseidon::State> states(n, quillet::poseidon::State::initial());
  for (size_t i = 0; i < n; ++i) states[i].words[2] = quillet::field::Fr::from_u128(i, 0);
  std::vector<quillet::field::Fr> out(n);
  for (auto _ : st) {
    std::vector<quillet::poseidon::State> work = states;
    quillet::poseidon::permute_squeeze_many(spec, work, out, k);
    benchmark::DoNotOptimize(out.data());
  }
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * n));
}
BENCHMARK_CAPTURE(BM_PermuteSqueezeMany, scalar, LaneKernel::scalar)->Arg(256);
BENCHMARK_CAPTURE(BM_PermuteSqueezeMany, ifma, LaneKernel::ifma)->Arg(8)->Arg(256);

}  // namespace
