// What this processor offers the kernels, probed once, and every kernel the
// process runs, decided once from that, the kernels this build holds and the
// environment (`dispatch()`). Every layer with an instruction-set-specific
// path reads its kernel here; none decides on its own.
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

// CPUID's answers, read once while the program loads.
extern const Features g_features;
inline const Features& features() { return g_features; }

// The kernels this build holds beyond the portable ones. CMake defines
// QUILLET_IFMA_BUILT, QUILLET_SHA_NI_BUILT and QUILLET_SALSA_AVX512_BUILT
// where it compiles those kernels (cmake/layer.cmake); each kernel file
// refuses to build for instructions the dispatch does not know of.
#if defined(QUILLET_IFMA_BUILT)
inline constexpr bool kIfmaBuilt = true;
#else
inline constexpr bool kIfmaBuilt = false;
#endif
#if defined(QUILLET_SHA_NI_BUILT)
inline constexpr bool kShaNiBuilt = true;
#else
inline constexpr bool kShaNiBuilt = false;
#endif
#if defined(QUILLET_SALSA_AVX512_BUILT)
inline constexpr bool kSalsaAvx512Built = true;
#else
inline constexpr bool kSalsaAvx512Built = false;
#endif

// The kinds of kernel, each listing its kernels from the plainest up. Within
// a kind every kernel gives the same results; only the speed differs.
//
// How a user of the lane arithmetic runs: its scalar code, or the lanes on
// AVX-512 IFMA or on the same instructions emulated in plain integers (slow,
// for tests).
enum class LaneKernel : uint8_t { scalar, emulated, ifma };
// The field's Montgomery products (crypto/field/kernels.hpp): unsigned
// __int128 arithmetic, or MULX, ADCX and ADOX (x86-64).
enum class MulInstructions : uint8_t { portable, mulx_adx };
// The signing table's constant-time row scan (crypto/jubjub/fixed_base.hpp):
// 16-byte vectors (the plain scan off x86-64), AVX2's 32 bytes, AVX-512F's 64.
enum class ScanInstructions : uint8_t { sse2, avx2, avx512 };
// SHA-256 compressions (crypto/hmac_sha256/compress.hpp): libcrypto's block
// function, or the SHA extensions.
enum class Sha256Instructions : uint8_t { portable, sha_ni };
// scrypt's Salsa20/8 (crypto/scrypt/kernels.hpp): plain integers, SSE2's
// 128-bit vectors (x86-64), or those with AVX-512VL's rotations.
enum class SalsaKernel : uint8_t { portable, sse2, avx512 };

std::string_view lane_kernel_name(LaneKernel k);

// Whether `k` runs in this build on a processor with `f`: the plainest
// kernel of each kind always does.
bool runs(LaneKernel k, const Features& f = features());
bool runs(MulInstructions k, const Features& f = features());
bool runs(ScanInstructions k, const Features& f = features());
bool runs(Sha256Instructions k, const Features& f = features());
bool runs(SalsaKernel k, const Features& f = features());

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

// The kernels of a process. Per lane family: the one its older variable
// names, else the one QUILLET_LANES names, where it runs; otherwise ifma
// where it runs, else scalar (a value naming no kernel, or one that does not
// run here, is passed over). Every other kind: its fastest kernel that runs;
// no variable forces them (their tests call each kernel themselves). A
// default-made Dispatch holds the plainest kernel of every kind.
class Dispatch {
 public:
  // The choice on a processor with `f`, under `variables`.
  static Dispatch decide(const Features& f, const LaneVariables& variables);

  LaneKernel lane_kernel(LaneFamily f) const { return lanes_[static_cast<size_t>(f)]; }
  MulInstructions mul() const { return mul_; }
  ScanInstructions scan() const { return scan_; }
  Sha256Instructions sha256() const { return sha256_; }
  SalsaKernel salsa() const { return salsa_; }

 private:
  std::array<LaneKernel, kLaneFamilies> lanes_{};
  MulInstructions mul_{};
  ScanInstructions scan_{};
  Sha256Instructions sha256_{};
  SalsaKernel salsa_{};
};

// The process's dispatch, decided while the program (or the extension
// module) loads, before any other of its static objects is made, from the
// processor and the environment then; fixed from then on. A plain constant:
// reading it costs one load (the field's products read it at each product),
// a fork copies it whole and exit leaves it in place for batch workers
// still running.
extern const Dispatch g_dispatch;
inline const Dispatch& dispatch() { return g_dispatch; }

inline LaneKernel lane_kernel(LaneFamily f) { return dispatch().lane_kernel(f); }

}  // namespace quillet::cpu
