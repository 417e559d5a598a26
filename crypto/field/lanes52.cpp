#include "crypto/field/lanes52.hpp"

#include <cstdlib>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include "crypto/field/lanes52_ops.hpp"

namespace quillet::field::lanes52 {

// The scalar forms of the templates' own conversions (the policy plays no
// part in them).
Limbs split52(const Repr& r) {
  Limbs l;
  Arith<Emulated>::split(r.data(), l.v, 1);
  return l;
}

Repr join52(const uint64_t* l, size_t stride) {
  Repr r;
  Arith<Emulated>::join(l, stride, r.data());
  return r;
}

bool cpu_has_ifma() {
#if defined(__x86_64__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  constexpr unsigned kOsxsave = 1u << 27;
  if ((ecx & kOsxsave) == 0) return false;
  // The operating system saves the SSE, AVX and all AVX-512 register state.
  uint32_t xcr0_lo = 0, xcr0_hi = 0;
  __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  if ((xcr0_lo & 0xe6) != 0xe6) return false;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  constexpr unsigned kAvx512f = 1u << 16;
  constexpr unsigned kAvx512ifma = 1u << 21;
  return (ebx & kAvx512f) != 0 && (ebx & kAvx512ifma) != 0;
#else
  return false;
#endif
}

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

LaneKernel choose_lane_kernel(const char* forcing, bool (*available)(LaneKernel)) {
  if (const char* forced = std::getenv(forcing)) {
    for (LaneKernel k : {LaneKernel::scalar, LaneKernel::emulated, LaneKernel::ifma}) {
      if (lane_kernel_name(k) == forced && available(k)) return k;
    }
  }
  return available(LaneKernel::ifma) ? LaneKernel::ifma : LaneKernel::scalar;
}

}  // namespace quillet::field::lanes52
