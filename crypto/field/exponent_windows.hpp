// The sliding-window scan of a public exponent, shared by the scalar
// exponentiations (fr_algorithms.cpp) and the lane ones (pow_many.cpp), so
// that both take the same steps.
#pragma once

#include <algorithm>

#include "crypto/field/repr.hpp"

namespace quillet::field {

// For e, most significant bit first, calls step(squarings, odd) for each
// window of at most Width bits that ends in a one: square `squarings` times,
// then multiply by x^(2·odd + 1) (the first window's squarings are 0: it
// starts the power). Trailing zero bits come last as step(squarings, -1).
// Variable time: for public exponents only.
template <int Width, class Step>
void scan_windows_vartime(const Repr& e, Step&& step) {
  const auto bit_of = [&](int i) { return ((e[i / 64] >> (i % 64)) & 1) != 0; };
  int i = 255;
  while (i >= 0 && !bit_of(i)) --i;
  bool first = true;
  unsigned pending = 0;
  while (i >= 0) {
    if (!bit_of(i)) {
      ++pending;
      --i;
      continue;
    }
    // The longest window [j, i] of at most Width bits that ends in a one.
    int j = std::max(i - Width + 1, 0);
    while (!bit_of(j)) ++j;
    unsigned value = 0;
    for (int b = i; b >= j; --b) value = (value << 1) | (bit_of(b) ? 1u : 0u);
    step(first ? 0u : pending + static_cast<unsigned>(i - j + 1), static_cast<int>(value >> 1));
    first = false;
    pending = 0;
    i = j - 1;
  }
  if (pending != 0) step(pending, -1);
}

}  // namespace quillet::field
