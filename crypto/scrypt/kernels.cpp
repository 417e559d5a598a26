#include "crypto/scrypt/kernels.hpp"

#include "crypto/failure.hpp"

namespace quillet::scrypt {

std::string_view salsa_kernel_name(SalsaKernel k) {
  switch (k) {
    case SalsaKernel::portable:
      return "portable";
    case SalsaKernel::sse2:
      return "sse2";
    case SalsaKernel::avx512:
      return "avx512";
  }
  return "portable";
}

std::optional<SalsaKernel> salsa_kernel_named(std::string_view name) {
  for (SalsaKernel k : kSalsaKernels) {
    if (salsa_kernel_name(k) == name) return k;
  }
  return std::nullopt;
}

void romix_vartime(SalsaKernel k, uint8_t* b, uint32_t r, uint64_t n, uint32_t* v, uint32_t* xy) {
  if (!cpu::runs(k)) fail_hard("scrypt: the Salsa20/8 kernel does not run on this processor");
  switch (k) {
    case SalsaKernel::portable:
      return detail::romix_portable_vartime(b, r, n, v, xy);
    case SalsaKernel::sse2:
      return detail::romix_sse2_vartime(b, r, n, v, xy);
    case SalsaKernel::avx512:
      return detail::romix_avx512_vartime(b, r, n, v, xy);
  }
}

}  // namespace quillet::scrypt
