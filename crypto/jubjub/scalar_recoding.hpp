// Recodings of scalars into signed digits for the scalar multiplications.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "crypto/field/repr.hpp"
#include "crypto/jubjub/fs.hpp"

namespace quillet::jubjub {

// Digits of the signed radix-2^W form of a scalar below s (< 2^251): enough
// for 252 bits.
template <unsigned W>
inline constexpr size_t kSignedRadixDigits = (252 + W - 1) / W;

inline constexpr size_t kRadix16Digits = kSignedRadixDigits<4>;
inline constexpr size_t kRadix64Digits = kSignedRadixDigits<6>;

// The canonical value k of `scalar` as k = sum of d[i]·2^(W·i) with every
// d[i] in [-2^(W-1), 2^(W-1)) (k < s < 7·2^248 leaves no carry out of the top
// digit for W = 4 and 6). No branch or memory index depends on the scalar, so
// it may be a private key or a nonce.
template <unsigned W>
std::array<int8_t, kSignedRadixDigits<W>> signed_radix(const Fs& scalar);

inline std::array<int8_t, kRadix16Digits> signed_radix16(const Fs& scalar) { return signed_radix<4>(scalar); }
inline std::array<int8_t, kRadix64Digits> signed_radix64(const Fs& scalar) { return signed_radix<6>(scalar); }

inline constexpr size_t kWnafDigits = 258;

// The width-W non-adjacent form of the 256-bit k: k = sum of d[i]·2^i, every
// nonzero d[i] odd with |d[i]| < 2^(W-1), and any W consecutive digits hold at
// most one nonzero one. The running time depends on k: public scalars only.
template <unsigned W>
constexpr std::array<int8_t, kWnafDigits> wnaf_vartime(const FsRepr& k) {
  static_assert(W >= 2 && W <= 8);
  constexpr uint64_t kWidth = uint64_t{1} << W;
  constexpr uint64_t kMask = kWidth - 1;
  const std::array<uint64_t, 6> x{k[0], k[1], k[2], k[3], 0, 0};
  std::array<int8_t, kWnafDigits> naf{};
  // Past the top set bit with no carry, every digit left is zero.
  size_t top = 0;
  for (size_t i = 4; i-- > 0;) {
    if (x[i] != 0) {
      top = 64 * i + static_cast<size_t>(std::bit_width(x[i]));
      break;
    }
  }
  uint64_t carry = 0;
  size_t pos = 0;
  while (pos < kWnafDigits && (carry != 0 || pos < top)) {
    const size_t idx = pos / 64;
    const size_t bit = pos % 64;
    uint64_t buf = x[idx] >> bit;
    if (bit + W > 64) buf |= x[idx + 1] << (64 - bit);
    const uint64_t window = carry + (buf & kMask);
    if ((window & 1) == 0) {
      ++pos;
      continue;
    }
    if (window < kWidth / 2) {
      carry = 0;
      naf[pos] = static_cast<int8_t>(window);
    } else {
      carry = 1;
      naf[pos] = static_cast<int8_t>(static_cast<int64_t>(window) - static_cast<int64_t>(kWidth));
    }
    pos += W;
  }
  return naf;
}

// The index of the highest nonzero digit plus one (0 when all are zero).
template <size_t N>
constexpr size_t digit_length_vartime(const std::array<int8_t, N>& digits) {
  size_t n = N;
  while (n > 0 && digits[n - 1] == 0) --n;
  return n;
}

}  // namespace quillet::jubjub
