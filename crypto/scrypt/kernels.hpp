// ROMix, scrypt's memory-hard middle, in one kernel per instruction set:
// BlockMix's Salsa20/8 cores run one after the other (each takes the last
// one's output), so a kernel is as fast as one core's chain of dependent
// steps is short.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "crypto/cpu/cpu.hpp"

namespace quillet::scrypt {

// portable: plain integers, every processor. sse2: the words as four
// diagonals in 128-bit vectors (x86-64). avx512: the same with one-instruction
// rotations (x86-64 with AVX-512F and VL). cpu::runs(k) says whether `k`
// runs here.
using cpu::SalsaKernel;

inline constexpr SalsaKernel kSalsaKernels[] = {SalsaKernel::portable, SalsaKernel::sse2, SalsaKernel::avx512};

// The process's kernel (cpu::dispatch()).
inline SalsaKernel salsa_kernel() { return cpu::dispatch().salsa(); }
std::string_view salsa_kernel_name(SalsaKernel k);
// The kernel named `name`, if there is one (whether it runs here or not).
std::optional<SalsaKernel> salsa_kernel_named(std::string_view name);

// B = ROMix(B) with kernel `k`, which must run here (else a hard failure):
// `b` holds 128·r bytes; `v` has room for n·32·r words and `xy` for 64·r,
// both 64-byte aligned. On input n is a power of two with
// 2 <= n <= 2^32 and r >= 1. Variable time by definition: ROMix's second
// loop reads V at an index taken from its secret state (Integerify), which is
// what makes it memory-hard; the rest takes time independent of the bytes.
void romix_vartime(SalsaKernel k, uint8_t* b, uint32_t r, uint64_t n, uint32_t* v, uint32_t* xy);

namespace detail {
// The kernels' entry points (romix_*.cpp); the vector ones only called where
// they run.
void romix_portable_vartime(uint8_t* b, uint32_t r, uint64_t n, uint32_t* v, uint32_t* xy);
void romix_sse2_vartime(uint8_t* b, uint32_t r, uint64_t n, uint32_t* v, uint32_t* xy);
void romix_avx512_vartime(uint8_t* b, uint32_t r, uint64_t n, uint32_t* v, uint32_t* xy);
}  // namespace detail

}  // namespace quillet::scrypt
