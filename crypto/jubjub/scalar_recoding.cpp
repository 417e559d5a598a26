#include "crypto/jubjub/scalar_recoding.hpp"

#include <openssl/crypto.h>

namespace quillet::jubjub {

// The top digit of any k < s is at most 6 in radix 16 and 27 in radix 64, so
// it takes a carry and stays below half the radix.
static_assert(kFsModulus[3] <= 0x0700000000000000ULL);

template <unsigned W>
std::array<int8_t, kSignedRadixDigits<W>> signed_radix(const Fs& scalar) {
  static_assert(W == 4 || W == 6);
  constexpr uint64_t kMask = (uint64_t{1} << W) - 1;
  constexpr int kHalf = 1 << (W - 1);
  FsRepr k = scalar.into_repr();
  std::array<int8_t, kSignedRadixDigits<W>> d{};
  // Plain digits first: bits W·i to W·i + W - 1. Which limbs a digit spans
  // depends only on i.
  for (size_t i = 0; i < d.size(); ++i) {
    const size_t bit = W * i;
    uint64_t window = k[bit / 64] >> (bit % 64);
    if (bit % 64 + W > 64 && bit / 64 + 1 < k.size()) window |= k[bit / 64 + 1] << (64 - bit % 64);
    d[i] = static_cast<int8_t>(window & kMask);
  }
  OPENSSL_cleanse(k.data(), sizeof k);
  // Then move each digit from [0, 2^W] to [-2^(W-1), 2^(W-1)) by carrying
  // into the next; arithmetic shifts only, no comparisons.
  for (size_t i = 0; i + 1 < d.size(); ++i) {
    const int8_t carry = static_cast<int8_t>((d[i] + kHalf) >> W);
    d[i] = static_cast<int8_t>(d[i] - (carry << W));
    d[i + 1] = static_cast<int8_t>(d[i + 1] + carry);
  }
  return d;
}

template std::array<int8_t, kSignedRadixDigits<4>> signed_radix<4>(const Fs&);
template std::array<int8_t, kSignedRadixDigits<6>> signed_radix<6>(const Fs&);

}  // namespace quillet::jubjub
