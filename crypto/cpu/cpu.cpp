#include "crypto/cpu/cpu.hpp"

#include <cstdlib>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace quillet::cpu {
namespace {

Features probe() {
  Features f;
#if defined(__x86_64__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return f;
  const unsigned leaf1_ecx = ecx;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return f;
  const unsigned leaf7_ebx = ebx;
  const auto has = [](unsigned reg, unsigned bit) { return (reg & (1u << bit)) != 0; };
  f.mulx_adx = has(leaf7_ebx, 8) && has(leaf7_ebx, 19);                     // BMI2, ADX
  f.sha = has(leaf1_ecx, 9) && has(leaf1_ecx, 19) && has(leaf7_ebx, 29);     // SSSE3, SSE4.1, SHA
  if (has(leaf1_ecx, 27)) {                                                  // OSXSAVE
    // The system saves the SSE, AVX and all AVX-512 register state.
    uint32_t xcr0_lo = 0, xcr0_hi = 0;
    __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    f.avx512_ifma = (xcr0_lo & 0xe6) == 0xe6 && has(leaf7_ebx, 16) && has(leaf7_ebx, 21);  // AVX-512F, IFMA
    f.avx512vl = (xcr0_lo & 0xe6) == 0xe6 && has(leaf7_ebx, 16) && has(leaf7_ebx, 31);     // AVX-512F, VL
    f.avx2 = (xcr0_lo & 0x06) == 0x06 && has(leaf1_ecx, 28) && has(leaf7_ebx, 5);     // AVX, AVX2
  }
#endif
  return f;
}

// x86-64 builds hold the MULX products, the AVX2 and AVX-512 scans (by
// target attributes) and the SSE2 Salsa20/8 (the baseline) on every compiler.
#if defined(__x86_64__)
constexpr bool kX86 = true;
#else
constexpr bool kX86 = false;
#endif

// The kernel `value` names, if it names one that runs.
bool forced(const char* value, const Features& f, LaneKernel& out) {
  if (value == nullptr) return false;
  for (LaneKernel k : {LaneKernel::scalar, LaneKernel::emulated, LaneKernel::ifma}) {
    if (lane_kernel_name(k) == value && runs(k, f)) {
      out = k;
      return true;
    }
  }
  return false;
}

// The last of `kinds` (listed from the plainest up) that runs.
template <class K, size_t N>
K fastest(const K (&kinds)[N], const Features& f) {
  for (size_t i = N; i-- > 1;) {
    if (runs(kinds[i], f)) return kinds[i];
  }
  return kinds[0];
}

Dispatch decide_here() {
  LaneVariables v;
  v.lanes = std::getenv(kForceLanes);
  for (size_t f = 0; f < kLaneFamilies; ++f) {
    const char* alias = lane_alias(static_cast<LaneFamily>(f));
    v.alias[f] = alias == nullptr ? nullptr : std::getenv(alias);
  }
  return Dispatch::decide(g_features, v);
}

}  // namespace

// Made before every static object of default priority in the program, so
// that none reads them unmade (the field's products, a table built early).
[[gnu::init_priority(101)]] const Features g_features = probe();
[[gnu::init_priority(101)]] const Dispatch g_dispatch = decide_here();

std::string_view lane_kernel_name(LaneKernel k) {
  switch (k) {
    case LaneKernel::scalar:
      return "scalar";
    case LaneKernel::emulated:
      return "emulated";
    case LaneKernel::ifma:
      return "ifma";
  }
  return "scalar";
}

bool runs(LaneKernel k, const Features& f) { return k != LaneKernel::ifma || (kIfmaBuilt && f.avx512_ifma); }

bool runs(MulInstructions k, const Features& f) { return k == MulInstructions::portable || (kX86 && f.mulx_adx); }

bool runs(ScanInstructions k, const Features& f) {
  switch (k) {
    case ScanInstructions::sse2:
      return true;
    case ScanInstructions::avx2:
      return kX86 && f.avx2;
    case ScanInstructions::avx512:
      // The IFMA probe includes AVX-512F and its saved state, all the scan
      // needs; a processor with AVX-512F but no IFMA scans with AVX2.
      return kX86 && f.avx512_ifma;
  }
  return false;
}

bool runs(Sha256Instructions k, const Features& f) {
  return k == Sha256Instructions::portable || (kShaNiBuilt && f.sha);
}

bool runs(SalsaKernel k, const Features& f) {
  switch (k) {
    case SalsaKernel::portable:
      return true;
    case SalsaKernel::sse2:
      return kX86;
    case SalsaKernel::avx512:
      return kSalsaAvx512Built && f.avx512vl;
  }
  return false;
}

const char* lane_alias(LaneFamily f) {
  // By LaneFamily: the permutation, the powers, the buckets, the fixed base.
  static constexpr std::array<const char*, kLaneFamilies> kAliases = {"QUILLET_POSEIDON_LANES", "QUILLET_POW_LANES",
                                                                      nullptr, nullptr};
  return kAliases[static_cast<size_t>(f)];
}

Dispatch Dispatch::decide(const Features& f, const LaneVariables& variables) {
  Dispatch d;
  for (size_t family = 0; family < kLaneFamilies; ++family) {
    LaneKernel& k = d.lanes_[family];
    if (forced(variables.alias[family], f, k) || forced(variables.lanes, f, k)) continue;
    k = runs(LaneKernel::ifma, f) ? LaneKernel::ifma : LaneKernel::scalar;
  }
  d.mul_ = fastest({MulInstructions::portable, MulInstructions::mulx_adx}, f);
  d.scan_ = fastest({ScanInstructions::sse2, ScanInstructions::avx2, ScanInstructions::avx512}, f);
  d.sha256_ = fastest({Sha256Instructions::portable, Sha256Instructions::sha_ni}, f);
  d.salsa_ = fastest({SalsaKernel::portable, SalsaKernel::sse2, SalsaKernel::avx512}, f);
  return d;
}

}  // namespace quillet::cpu
