#include "crypto/cpu/cpu.hpp"

#include <cstdlib>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include "crypto/immortal.hpp"

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

// The kernel `value` names, if it names one that runs.
bool forced(const char* value, bool ifma_runs, LaneKernel& out) {
  if (value == nullptr) return false;
  for (LaneKernel k : {LaneKernel::scalar, LaneKernel::emulated, LaneKernel::ifma}) {
    if (lane_kernel_name(k) == value && (k != LaneKernel::ifma || ifma_runs)) {
      out = k;
      return true;
    }
  }
  return false;
}

}  // namespace

const Features g_features = probe();

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

const char* lane_alias(LaneFamily f) {
  // By LaneFamily: the permutation, the powers, the buckets, the fixed base.
  static constexpr std::array<const char*, kLaneFamilies> kAliases = {"QUILLET_POSEIDON_LANES", "QUILLET_POW_LANES",
                                                                      nullptr, nullptr};
  return kAliases[static_cast<size_t>(f)];
}

Dispatch Dispatch::decide(bool ifma_runs, const LaneVariables& variables) {
  Dispatch d;
  for (size_t f = 0; f < kLaneFamilies; ++f) {
    LaneKernel& k = d.lanes_[f];
    if (forced(variables.alias[f], ifma_runs, k) || forced(variables.lanes, ifma_runs, k)) continue;
    k = ifma_runs ? LaneKernel::ifma : LaneKernel::scalar;
  }
  return d;
}

const Dispatch& dispatch() {
  static constinit Immortal<Dispatch> decided;
  return decided.get([] {
    LaneVariables v;
    v.lanes = std::getenv(kForceLanes);
    for (size_t f = 0; f < kLaneFamilies; ++f) {
      const char* alias = lane_alias(static_cast<LaneFamily>(f));
      v.alias[f] = alias == nullptr ? nullptr : std::getenv(alias);
    }
    return Dispatch::decide(lane_kernel_runs(LaneKernel::ifma), v);
  });
}

}  // namespace quillet::cpu
