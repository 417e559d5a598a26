#include "crypto/jubjub/scalar_recoding.hpp"

#include <openssl/crypto.h>

namespace quillet::jubjub {

// The top digit of any k < s is at most 6, so it takes a carry and stays
// below 8.
static_assert(kFsModulus[3] <= 0x0700000000000000ULL);

std::array<int8_t, kRadix16Digits> signed_radix16(const Fs& scalar) {
  FsRepr k = scalar.into_repr();
  std::array<int8_t, kRadix16Digits> d{};
  // Plain digits first: bits 4i to 4i+3, up to bit 251.
  for (size_t i = 0; i < kRadix16Digits; ++i) d[i] = static_cast<int8_t>((k[i / 16] >> (4 * (i % 16))) & 15);
  OPENSSL_cleanse(k.data(), sizeof k);
  // Then move each digit from [0, 16] to [-8, 8) by carrying into the next;
  // arithmetic shifts only, no comparisons.
  for (size_t i = 0; i + 1 < kRadix16Digits; ++i) {
    const int8_t carry = static_cast<int8_t>((d[i] + 8) >> 4);
    d[i] = static_cast<int8_t>(d[i] - (carry << 4));
    d[i + 1] = static_cast<int8_t>(d[i + 1] + carry);
  }
  return d;
}

}  // namespace quillet::jubjub
