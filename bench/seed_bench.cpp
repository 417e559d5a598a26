#include <benchmark/benchmark.h>

#include <string>

#include "sdk/src/lib.hpp"

namespace {

void BM_PrivateKeyFromSeed(benchmark::State& state) {
  std::string seed(32, 'a');
  for (auto _ : state) {
    seed[0] = static_cast<char>('a' + (state.iterations() % 26));
    auto key = quillet::sdk::private_key_from_seed(
        {reinterpret_cast<const uint8_t*>(seed.data()), seed.size()});
    benchmark::DoNotOptimize(key);
  }
}
BENCHMARK(BM_PrivateKeyFromSeed);

}  // namespace
