#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "crypto/field/fr_algorithms.hpp"
#include "crypto/jubjub/eddsa.hpp"
#include "crypto/jubjub/fixed_base.hpp"
#include "crypto/jubjub/params.hpp"
#include "crypto/jubjub/scalar_split.hpp"
#include "sdk/src/batch/sign_schedule.hpp"

namespace {

using namespace quillet::jubjub;
namespace field = quillet::field;
namespace hmac_sha256 = quillet::hmac_sha256;

// A fixed key of full size, varied per iteration in its low limb.
Fs key_for(uint64_t i) {
  return *Fs::from_repr({0x89abcdef01234567ULL ^ i, 0x0123456789abcdefULL, 0xfedcba9876543210ULL, 0x0123456789abcdefULL});
}

std::array<uint8_t, 32> message_for(uint64_t i) {
  std::array<uint8_t, 32> m{};
  for (size_t j = 0; j < m.size(); ++j) m[j] = static_cast<uint8_t>(j * 7 + i);
  return m;
}

Fr fr_for(uint64_t i) { return Fr::from_raw({i * 0x9e3779b97f4a7c15ULL + 1, 0x0123456789abcdefULL, i, 0x0fedcba987654321ULL}); }

void BM_JubjubParamsBuild(benchmark::State& state) {
  for (auto _ : state) {
    AltJubjubBn256 params;
    benchmark::DoNotOptimize(params);
  }
}
BENCHMARK(BM_JubjubParamsBuild)->Unit(benchmark::kMillisecond);

// Secret scalar times the signing base: 42 mixed additions from the table,
// its rows scanned with 16-byte (0), 32-byte (1) or 64-byte (2) vectors.
void BM_FixedBaseMul(benchmark::State& state) {
  const FixedBaseTable& table = signing_table();
  const auto scan = static_cast<ScanInstructions>(state.range(0));
  if (!quillet::cpu::runs(scan)) {
    state.SkipWithError("scan instructions not available");
    return;
  }
  uint64_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(table.mul(key_for(i++), scan));
}
BENCHMARK(BM_FixedBaseMul)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// The same for eight scalars at once through FixedBaseTable::mul_many: time
// per scalar, on the scalar loop and on the IFMA lanes.
void BM_FixedBaseMulMany(benchmark::State& state, quillet::cpu::LaneKernel k) {
  if (!quillet::cpu::runs(k)) {
    state.SkipWithError("kernel not available here");
    return;
  }
  const FixedBaseTable& table = signing_table();
  std::vector<Fs> scalars(8, Fs::zero());
  std::vector<Point<PrimeOrder>> out(scalars.size(), Point<PrimeOrder>::zero());
  uint64_t i = 0;
  for (auto _ : state) {
    for (Fs& s : scalars) s = key_for(i++);
    table.mul_many(scalars, out, k);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * scalars.size()));
}
BENCHMARK_CAPTURE(BM_FixedBaseMulMany, scalar, quillet::cpu::LaneKernel::scalar)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FixedBaseMulMany, ifma, quillet::cpu::LaneKernel::ifma)->Unit(benchmark::kMicrosecond);

// One scalar with the rows spread over the lanes (FixedBaseTable::mul_lanes),
// and two at once (mul_pair, time per pair), on the IFMA lanes.
void BM_FixedBaseMulLanes(benchmark::State& state) {
  if (!quillet::cpu::runs(quillet::cpu::LaneKernel::ifma)) {
    state.SkipWithError("kernel not available here");
    return;
  }
  const FixedBaseTable& table = signing_table();
  uint64_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(table.mul_lanes(key_for(i++), quillet::cpu::LaneKernel::ifma));
}
BENCHMARK(BM_FixedBaseMulLanes)->Unit(benchmark::kMicrosecond);

void BM_FixedBaseMulPair(benchmark::State& state) {
  if (!quillet::cpu::runs(quillet::cpu::LaneKernel::ifma)) {
    state.SkipWithError("kernel not available here");
    return;
  }
  const FixedBaseTable& table = signing_table();
  uint64_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.mul_pair(key_for(i), key_for(i + 1), quillet::cpu::LaneKernel::ifma));
    i += 2;
  }
}
BENCHMARK(BM_FixedBaseMulPair)->Unit(benchmark::kMicrosecond);

// Secret scalar times any point: 252 doublings and 64 additions.
void BM_ScalarMulConstantTime(benchmark::State& state) {
  const AltJubjubBn256& params = jubjub_params();
  const Point<PrimeOrder>& g = params.generator(kSigningBase);
  uint64_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(g.mul(key_for(i++), params));
}
BENCHMARK(BM_ScalarMulConstantTime)->Unit(benchmark::kMicrosecond);

// Public scalar times any point: width-5 NAF.
void BM_ScalarMulVartime(benchmark::State& state) {
  const AltJubjubBn256& params = jubjub_params();
  const Point<PrimeOrder>& g = params.generator(kSigningBase);
  uint64_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(g.mul_vartime(key_for(i++), params));
  }
}
BENCHMARK(BM_ScalarMulVartime)->Unit(benchmark::kMicrosecond);

void BM_SubgroupCheck(benchmark::State& state) {
  const AltJubjubBn256& params = jubjub_params();
  const Point<Unknown> p = params.generator(kSigningBase).mul_vartime(key_for(3), params);
  for (auto _ : state) benchmark::DoNotOptimize(p.is_in_prime_order_subgroup_vartime(params));
}
BENCHMARK(BM_SubgroupCheck)->Unit(benchmark::kMicrosecond);

void BM_PointRead(benchmark::State& state) {
  const AltJubjubBn256& params = jubjub_params();
  const PointEncoding bytes = params.generator(kSigningBase).mul_vartime(key_for(5), params).encode();
  for (auto _ : state) benchmark::DoNotOptimize(Point<Unknown>::read(bytes, params));
}
BENCHMARK(BM_PointRead)->Unit(benchmark::kMicrosecond);

void BM_InvertConstantTime(benchmark::State& state) {
  uint64_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(field::invert_safegcd(fr_for(i++)));
}
BENCHMARK(BM_InvertConstantTime)->Unit(benchmark::kMicrosecond);

void BM_InvertVartime(benchmark::State& state) {
  uint64_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(fr_for(i++).inverse_vartime());
}
BENCHMARK(BM_InvertVartime)->Unit(benchmark::kMicrosecond);

void BM_SqrtRatio(benchmark::State& state) {
  uint64_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(field::sqrt_ratio_vartime(fr_for(i), fr_for(i + 1)));
    ++i;
  }
}
BENCHMARK(BM_SqrtRatio)->Unit(benchmark::kMicrosecond);

// Two roots at once, as verification decodes R and the key.
void BM_SqrtRatioPair(benchmark::State& state) {
  uint64_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(field::sqrt_ratio_pair_vartime(fr_for(i), fr_for(i + 1), fr_for(i + 2), fr_for(i + 3)));
    i += 2;
  }
}
BENCHMARK(BM_SqrtRatioPair)->Unit(benchmark::kMicrosecond);

void BM_RatioSplit(benchmark::State& state) {
  uint64_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(split_ratio_vartime(key_for(i++)));
}
BENCHMARK(BM_RatioSplit)->Unit(benchmark::kMicrosecond);

// The process's kernel, then each one (0 portable, 1 SHA-NI) where it runs.
void BM_DeterministicNonce(benchmark::State& state) {
  using hmac_sha256::Sha256Instructions;
  const Sha256Instructions kernel =
      state.range(0) < 0 ? hmac_sha256::sha256_instructions() : static_cast<Sha256Instructions>(state.range(0));
  if (!quillet::cpu::runs(kernel)) {
    state.SkipWithError("kernel not available on this processor");
    return;
  }
  uint64_t i = 0;
  for (auto _ : state) {
    const PrivateKey sk(key_for(i));
    const auto msg = message_for(i++);
    benchmark::DoNotOptimize(deterministic_nonce(sk, msg, kernel));
  }
}
BENCHMARK(BM_DeterministicNonce)->Arg(-1)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Nonce and (R, S), without the signer's key or the self-check.
void BM_Sign(benchmark::State& state) {
  const AltJubjubBn256& params = jubjub_params();
  uint64_t i = 0;
  for (auto _ : state) {
    const PrivateKey sk(key_for(i));
    const auto msg = message_for(i++);
    const Nonce nonce = deterministic_nonce(sk, msg);
    benchmark::DoNotOptimize(sk.sign_raw_message(msg, nonce));
  }
}
BENCHMARK(BM_Sign)->Unit(benchmark::kMicrosecond);

// What every signing entry point does: nonce, (R, S), the signer's key, both
// normalised, and the self-check.
void BM_SignAndCheck(benchmark::State& state) {
  const AltJubjubBn256& params = jubjub_params();
  uint64_t i = 0;
  for (auto _ : state) {
    const PrivateKey sk(key_for(i));
    const auto msg = message_for(i++);
    const Nonce nonce = deterministic_nonce(sk, msg);
    benchmark::DoNotOptimize(sk.sign_and_check(msg, nonce));
  }
}
BENCHMARK(BM_SignAndCheck)->Unit(benchmark::kMicrosecond);

// sign_and_check (without the signer's key) of each of `range(0)` messages
// together, on one thread (sdk/src/batch/sign_schedule.hpp): time per
// signature, against BM_Sign's nonce and (R, S) alone.
void BM_SignAndCheckMany(benchmark::State& state) {
  const AltJubjubBn256& params = jubjub_params();
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<PrivateKey::Message> msgs(n);
  uint64_t i = 0;
  for (auto _ : state) {
    for (auto& m : msgs) m = message_for(i++);
    benchmark::DoNotOptimize(quillet::sdk::sign_and_check_many(PrivateKey(key_for(i)), msgs));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_SignAndCheckMany)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);

void BM_Verify(benchmark::State& state) {
  const AltJubjubBn256& params = jubjub_params();
  const PrivateKey sk(key_for(0));
  const auto msg = message_for(0);
  const RawSignature sig = sk.sign_raw_message(msg, deterministic_nonce(sk, msg));
  const PublicKey pk = PublicKey::derive(sk);
  for (auto _ : state) {
    const bool ok = pk.verify_for_raw_message(msg, sig);
    if (!ok) state.SkipWithError("signature does not verify");
    benchmark::DoNotOptimize(ok);
  }
}
BENCHMARK(BM_Verify)->Unit(benchmark::kMicrosecond);

}  // namespace
