#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/params.hpp"

namespace {

using namespace quillet::jubjub;

// A fixed key of full size, varied per iteration in its low limb.
Fs key_for(uint64_t i) {
  return *Fs::from_repr({0x89abcdef01234567ULL ^ i, 0x0123456789abcdefULL, 0xfedcba9876543210ULL, 0x0123456789abcdefULL});
}

std::array<uint8_t, 32> message_for(uint64_t i) {
  std::array<uint8_t, 32> m{};
  for (size_t j = 0; j < m.size(); ++j) m[j] = static_cast<uint8_t>(j * 7 + i);
  return m;
}

void BM_JubjubParamsBuild(benchmark::State& state) {
  for (auto _ : state) {
    AltJubjubBn256 params;
    benchmark::DoNotOptimize(params);
  }
}
BENCHMARK(BM_JubjubParamsBuild)->Unit(benchmark::kMillisecond);

void BM_ScalarMulVartime(benchmark::State& state) {
  const AltJubjubBn256& params = jubjub_params();
  const Point<PrimeOrder>& g = params.generator(kSigningBase);
  uint64_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(g.mul_vartime(key_for(i++), params));
  }
}
BENCHMARK(BM_ScalarMulVartime)->Unit(benchmark::kMicrosecond);

void BM_DeterministicSeed(benchmark::State& state) {
  uint64_t i = 0;
  for (auto _ : state) {
    const PrivateKey sk(key_for(i));
    const auto msg = message_for(i++);
    benchmark::DoNotOptimize(Seed::deterministic_seed(sk, msg));
  }
}
BENCHMARK(BM_DeterministicSeed)->Unit(benchmark::kMicrosecond);

void BM_Sign(benchmark::State& state) {
  const AltJubjubBn256& params = jubjub_params();
  uint64_t i = 0;
  for (auto _ : state) {
    const PrivateKey sk(key_for(i));
    const auto msg = message_for(i++);
    const Seed seed = Seed::deterministic_seed(sk, msg);
    benchmark::DoNotOptimize(sk.sign_raw_message(msg, seed, kSigningBase, params, msg.size()));
  }
}
BENCHMARK(BM_Sign)->Unit(benchmark::kMicrosecond);

void BM_Verify(benchmark::State& state) {
  const AltJubjubBn256& params = jubjub_params();
  const PrivateKey sk(key_for(0));
  const auto msg = message_for(0);
  const RawSignature sig =
      sk.sign_raw_message(msg, Seed::deterministic_seed(sk, msg), kSigningBase, params, msg.size());
  const PublicKey pk = PublicKey::derive(sk, kSigningBase, params);
  for (auto _ : state) {
    const bool ok = pk.verify_for_raw_message(msg, sig, kSigningBase, params, kMaxMessageSize);
    if (!ok) state.SkipWithError("signature does not verify");
    benchmark::DoNotOptimize(ok);
  }
}
BENCHMARK(BM_Verify)->Unit(benchmark::kMicrosecond);

}  // namespace
