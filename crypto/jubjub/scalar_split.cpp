#include "crypto/jubjub/scalar_split.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>

#include "crypto/field/montgomery.hpp"

namespace quillet::jubjub {
namespace {

using field::Repr;

unsigned bit_length_vartime(const Repr& a) {
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

__extension__ typedef unsigned __int128 u128;

// a·q, where the caller knows it fits in 256 bits.
Repr mul_word(const Repr& a, uint64_t q) {
  Repr r{};
  u128 carry = 0;
  for (size_t i = 0; i < 4; ++i) {
    carry += static_cast<u128>(a[i]) * q;
    r[i] = static_cast<uint64_t>(carry);
    carry >>= 64;
  }
  return r;
}

// Bits [k, k + 128) of a, for k < 256.
u128 bits_from(const Repr& a, unsigned k) {
  const unsigned word = k / 64;
  const unsigned bit = k % 64;
  std::array<uint64_t, 7> w{a[0], a[1], a[2], a[3], 0, 0, 0};
  const uint64_t lo = bit == 0 ? w[word] : (w[word] >> bit) | (w[word + 1] << (64 - bit));
  const uint64_t hi = bit == 0 ? w[word + 1] : (w[word + 1] >> bit) | (w[word + 2] << (64 - bit));
  return static_cast<u128>(hi) << 64 | lo;
}

// r_(i+1) = r_(i-1) mod r_i and |t_(i+1)| = |t_(i-1)| + q·|t_i|. On input,
// cur.r != 0. A quotient of at most 3 (two in three of a sequence) is taken
// by subtractions; one below 2^62 (all but a few of the others) is
// estimated from the top 64 bits of r_i from below, subtracted at once and
// corrected by a subtraction or two; a larger one is taken one shifted
// subtraction at a time.
Entry next_entry_vartime(const Entry& prev, const Entry& cur) {
  Entry out = prev;
  const unsigned divisor_bits = bit_length_vartime(cur.r);
  const unsigned dividend_bits = bit_length_vartime(out.r);
  if (dividend_bits <= divisor_bits + 1) {
    // q <= 3, and most often 1 or 2: plain subtractions are cheaper than a
    // division.
    while (!field::detail::less_than_vartime(out.r, cur.r)) {
      field::detail::sub_borrow(out.r, out.r, cur.r);
      field::detail::add_carry(out.t, out.t, cur.t);
    }
    return out;
  }
  if (dividend_bits - divisor_bits < 62) {
    // With b the top bits of r_i from bit k and a the bits of r_(i-1) from
    // the same place (below 2^126), a / (b + 1) <= q; and since b >= 2^63
    // when k > 0 (and is exact when k = 0), it falls short by at most 2.
    const unsigned k = divisor_bits > 64 ? divisor_bits - 64 : 0;
    const u128 a = bits_from(out.r, k);
    const u128 b = bits_from(cur.r, k);
    const auto q = static_cast<uint64_t>(k == 0 ? a / b : a / (b + 1));
    field::detail::sub_borrow(out.r, out.r, mul_word(cur.r, q));
    field::detail::add_carry(out.t, out.t, mul_word(cur.t, q));
    while (!field::detail::less_than_vartime(out.r, cur.r)) {
      field::detail::sub_borrow(out.r, out.r, cur.r);
      field::detail::add_carry(out.t, out.t, cur.t);
    }
    return out;
  }
  while (!field::detail::less_than_vartime(out.r, cur.r)) {
    unsigned k = bit_length_vartime(out.r) - divisor_bits;
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

unsigned size_of_vartime(const Entry& e) { return std::max(bit_length_vartime(e.r), bit_length_vartime(e.t)); }

}  // namespace

RatioSplit split_ratio_vartime(const Fs& c) {
  constexpr unsigned kHalfBits = 126;
  Entry prev{kFsModulus, Repr{}};
  Entry cur{c.into_repr(), Repr{1, 0, 0, 0}};
  size_t index = 1;  // of cur; t_i > 0 for odd i, t_i < 0 for even i > 0
  while (bit_length_vartime(cur.r) > kHalfBits) {
    const Entry next = next_entry_vartime(prev, cur);
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
    const Entry after = next_entry_vartime(prev, cur);
    if (!field::detail::is_zero_vartime(after.r) && size_of_vartime(after) < size_of_vartime(prev)) {
      chosen = after;
      chosen_index = index + 1;
    }
  }
  return RatioSplit{chosen.r, chosen.t, chosen_index % 2 == 0};
}

}  // namespace quillet::jubjub
