#include "crypto/field/kernels.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace quillet::field::detail {
namespace {

bool detect_mulx_adx() {
#if defined(__x86_64__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  constexpr unsigned kBmi2 = 1u << 8;  // MULX
  constexpr unsigned kAdx = 1u << 19;  // ADCX, ADOX
  return (ebx & kBmi2) != 0 && (ebx & kAdx) != 0;
#else
  return false;
#endif
}

}  // namespace

const bool g_cpu_has_mulx_adx = detect_mulx_adx();

}  // namespace quillet::field::detail
