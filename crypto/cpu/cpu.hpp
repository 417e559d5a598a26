// What this processor offers the kernels, probed once, and the one choice of
// the lane kernels with the one variable that forces it. Everything that
// depends on an instruction set asks here.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillet::cpu {

struct Features {
  bool mulx_adx = false;     // BMI2 and ADX: MULX, ADCX, ADOX
  bool avx512_ifma = false;  // AVX-512F and IFMA, their registers saved by the system (XGETBV)
  bool avx2 = false;         // AVX2, its registers saved by the system (XGETBV)
  bool avx512vl = false;     // AVX-512F and VL (its instructions on 128-bit registers), state saved
  bool sha = false;          // SHA with SSSE3 and SSE4.1; valgrind reports none
};

// CPUID's answers, read once during static initialisation.
extern const Features g_features;
inline const Features& features() { return g_features; }

// How a user of the lane arithmetic runs: its scalar code, or the lanes on
// AVX-512 IFMA or on the same instructions emulated in plain integers (slow,
// for tests).
enum class LaneKernel : uint8_t { scalar, emulated, ifma };

std::string_view lane_kernel_name(LaneKernel k);

// Whether `k` runs here, for a user whose build holds the IFMA kernel when
// `ifma_compiled`.
inline bool lane_kernel_runs(LaneKernel k, bool ifma_compiled) {
  return k != LaneKernel::ifma || (ifma_compiled && features().avx512_ifma);
}

// The variable that forces the lane kernels: "scalar", "emulated" or "ifma".
inline constexpr const char* kForceLanes = "QUILLET_LANES";

// The lane kernel of one user of the lanes (the permutation, the
// exponentiations): the one its own older variable `alias` names, else the
// one QUILLET_LANES names, where `available` says it runs; otherwise ifma
// where available, else scalar. Reads the environment on every call: users
// call it once and keep the answer.
LaneKernel choose_lane_kernel(const char* alias, bool (*available)(LaneKernel));

}  // namespace quillet::cpu
