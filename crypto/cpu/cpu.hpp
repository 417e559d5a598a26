// What this processor offers the kernels, probed once, and the lane kernels
// this process runs, decided once from that and the environment
// (`dispatch()`). Everything that depends on an instruction set asks here.
#pragma once

#include <array>
#include <cstddef>
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

// Whether this build holds the lane kernels on AVX-512 IFMA: CMake defines
// QUILLET_IFMA_BUILT where it compiles them (quillet_ifma_sources).
#if defined(QUILLET_IFMA_BUILT)
inline constexpr bool kIfmaBuilt = true;
#else
inline constexpr bool kIfmaBuilt = false;
#endif

// How a user of the lane arithmetic runs: its scalar code, or the lanes on
// AVX-512 IFMA or on the same instructions emulated in plain integers (slow,
// for tests).
enum class LaneKernel : uint8_t { scalar, emulated, ifma };

std::string_view lane_kernel_name(LaneKernel k);

// Whether `k` runs in this build on this processor.
inline bool lane_kernel_runs(LaneKernel k) { return k != LaneKernel::ifma || (kIfmaBuilt && features().avx512_ifma); }

// The users of the lane arithmetic, each with its own kernels
// (crypto/field/lane_kernels.hpp): the Poseidon permutation, the
// exponentiations of square roots and subgroup checks, the multi-scalar
// multiplication's buckets, the signing table's multiples.
enum class LaneFamily : uint8_t { permutation, powers, buckets, fixed_base };
inline constexpr size_t kLaneFamilies = 4;

// The variable that forces the lane kernels: "scalar", "emulated" or "ifma".
inline constexpr const char* kForceLanes = "QUILLET_LANES";

// The older variable that forces family `f` alone and wins over
// QUILLET_LANES, or nullptr: QUILLET_POSEIDON_LANES, QUILLET_POW_LANES.
const char* lane_alias(LaneFamily f);

// The values of those variables (nullptr: unset).
struct LaneVariables {
  const char* lanes = nullptr;
  std::array<const char*, kLaneFamilies> alias{};
};

// The kernels of the process: per family, the one its older variable names,
// else the one QUILLET_LANES names, where it runs; otherwise ifma where it
// runs, else scalar. A value naming no kernel, or one that does not run
// here, is passed over.
class Dispatch {
 public:
  // The choice for `variables`, IFMA running when `ifma_runs`.
  static Dispatch decide(bool ifma_runs, const LaneVariables& variables);

  LaneKernel lane_kernel(LaneFamily f) const { return lanes_[static_cast<size_t>(f)]; }

 private:
  std::array<LaneKernel, kLaneFamilies> lanes_{};
};

// The process's dispatch, decided on first use from the processor and the
// environment then, and fixed from then on (an Immortal constant: batch
// workers may read it while the process exits).
const Dispatch& dispatch();

inline LaneKernel lane_kernel(LaneFamily f) { return dispatch().lane_kernel(f); }

}  // namespace quillet::cpu
