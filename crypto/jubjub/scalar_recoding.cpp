#include "crypto/jubjub/scalar_recoding.hpp"

#include <openssl/crypto.h>

namespace quillet::jubjub {

std::array<int8_t, kRadix16Digits> signed_radix16(const Fs& scalar) {
  FsRepr k = scalar.into_repr();
  std::array<int8_t, kRadix16Digits> d{};
  // Plain digits first: bits 4i to 4i+3. Bits 252 to 255 are zero.
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
