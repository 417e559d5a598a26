#include "crypto/jubjub/scalar_split.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>

#include "crypto/field/montgomery.hpp"

namespace quillet::jubjub {
namespace {

using field::Repr;

unsigned bit_length(const Repr& a) {
  for (int i = 3; i >= 0; --i) {
    if (a[i] != 0) return static_cast<unsigned>(64 * i + 64 - std::countl_zero(a[i]));
  }
  return 0;
}

// a·2^k for k < 256; the caller knows it fits.
Repr shift_left(const Repr& a, unsigned k) {
  Repr r{};
  const unsigned words = k / 64;
  const unsigned bits = k % 64;
  for (unsigned i = words; i < 4; ++i) {
    r[i] = a[i - words] << bits;
    if (bits != 0 && i > words) r[i] |= a[i - words - 1] >> (64 - bits);
  }
  return r;
}

// One entry of the remainder sequence r_i = t_i·c (mod s); t's sign
// alternates with i, so only |t_i| is kept.
struct Entry {
  Repr r;
  Repr t;
};

// r_(i+1) = r_(i-1) mod r_i and |t_(i+1)| = |t_(i-1)| + q·|t_i|, the
// quotient q taken one shifted subtraction at a time. On input, cur.r != 0.
Entry next_entry(const Entry& prev, const Entry& cur) {
  Entry out = prev;
  const unsigned divisor_bits = bit_length(cur.r);
  while (!field::detail::less_than_vartime(out.r, cur.r)) {
    unsigned k = bit_length(out.r) - divisor_bits;
    Repr shifted = shift_left(cur.r, k);
    if (field::detail::less_than_vartime(out.r, shifted)) {
      --k;
      shifted = shift_left(cur.r, k);
    }
    field::detail::sub_borrow(out.r, out.r, shifted);
    field::detail::add_carry(out.t, out.t, shift_left(cur.t, k));
  }
  return out;
}

unsigned size_of(const Entry& e) { return std::max(bit_length(e.r), bit_length(e.t)); }

}  // namespace

RatioSplit split_ratio_vartime(const Fs& c) {
  constexpr unsigned kHalfBits = 126;
  Entry prev{kFsModulus, Repr{}};
  Entry cur{c.into_repr(), Repr{1, 0, 0, 0}};
  size_t index = 1;  // of cur; t_i > 0 for odd i, t_i < 0 for even i > 0
  while (bit_length(cur.r) > kHalfBits) {
    const Entry next = next_entry(prev, cur);
    prev = cur;
    cur = next;
    ++index;
  }
  Entry chosen = cur;
  size_t chosen_index = index;
  if ((cur.t[0] & 1) == 0) {
    // Then cur.r != 0 (c = 0 stops at index 1 with t = 1), and both
    // neighbours have odd t. prev always qualifies (index >= 2, r >= 2^126);
    // after does unless its r is zero (then |t| = s).
    chosen = prev;
    chosen_index = index - 1;
    const Entry after = next_entry(prev, cur);
    if (!field::detail::is_zero_vartime(after.r) && size_of(after) < size_of(prev)) {
      chosen = after;
      chosen_index = index + 1;
    }
  }
  return RatioSplit{chosen.r, chosen.t, chosen_index % 2 == 0};
}

}  // namespace quillet::jubjub
