// scrypt for keystores: each ROMix kernel on a V that fits the caches (the
// Salsa20/8 chain alone), the whole KDF at the keystore default (n = 2^18,
// r = 8, p = 1: mapping, page faults, the random reads of 256 MiB, the
// wiping), what overwriting a V of that size costs alone, and PBKDF2 at the
// keystore default.
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "crypto/scrypt/kernels.hpp"
#include "crypto/scrypt/pbkdf2.hpp"
#include "crypto/scrypt/scrypt.hpp"
#include "crypto/secrets/wipe.hpp"

namespace {

using quillet::scrypt::SalsaKernel;

// The kernel of the benchmark's argument, labelled; nullopt (the run
// skipped) where it does not run.
std::optional<SalsaKernel> kernel_of(benchmark::State& state) {
  const auto k = static_cast<SalsaKernel>(state.range(0));
  if (!quillet::cpu::runs(k)) {
    state.SkipWithError("the kernel does not run here");
    return std::nullopt;
  }
  state.SetLabel(std::string(quillet::scrypt::salsa_kernel_name(k)));
  return k;
}

void BM_RomixInCache(benchmark::State& state) {
  const std::optional<SalsaKernel> k = kernel_of(state);
  if (!k) return;
  constexpr uint32_t r = 8;
  constexpr uint64_t n = 64;  // V of 64 KiB
  alignas(64) static uint32_t memory[32 * r * (n + 2)];
  std::array<uint8_t, 128 * r> b{};
  for (auto _ : state) {
    quillet::scrypt::romix_vartime(*k, b.data(), r, n, memory, memory + 32 * r * n);
    benchmark::DoNotOptimize(b);
  }
  // Per BlockMix of r = 8: sixteen Salsa20/8 cores.
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 2 * n);
}
BENCHMARK(BM_RomixInCache)->DenseRange(0, 2);

void BM_ScryptKeystoreDefault(benchmark::State& state) {
  const std::optional<SalsaKernel> k = kernel_of(state);
  if (!k) return;
  const std::vector<uint8_t> passphrase(34, 'x'), salt(32, 0);
  std::array<uint8_t, 32> out{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(quillet::scrypt::scrypt_vartime(passphrase, salt, quillet::scrypt::kDefaultScrypt, out, *k));
  }
}
BENCHMARK(BM_ScryptKeystoreDefault)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Iterations(5);

// The keystore's PBKDF2 default: 2^18 iterations, two compressions each.
void BM_Pbkdf2KeystoreDefault(benchmark::State& state) {
  const std::vector<uint8_t> passphrase(34, 'x'), salt(32, 0);
  std::array<uint8_t, 32> out{};
  for (auto _ : state) {
    quillet::scrypt::pbkdf2_sha256(passphrase, salt, 1 << 18, out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Pbkdf2KeystoreDefault)->Unit(benchmark::kMillisecond);

// Overwriting a V of 256 MiB that was just written, in huge pages.
void BM_WipeScryptV(benchmark::State& state) {
  const size_t size = size_t{256} << 20;
  void* v = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  madvise(v, size, MADV_HUGEPAGE);
  for (auto _ : state) {
    state.PauseTiming();
    std::memset(v, 0x5a, size);
    state.ResumeTiming();
    quillet::secrets::wipe(v, size);
  }
  munmap(v, size);
}
BENCHMARK(BM_WipeScryptV)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
