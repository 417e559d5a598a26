// ROMix over one Salsa20/8 kernel, for the kernel files alone (romix_*.cpp):
// each instantiates it with its own core, in its own translation unit, built
// for its own instruction set. Nothing here has external linkage and no
// library header is included, so no function compiled for one kernel's
// instructions can be linked in place of another unit's copy.
//
// A kernel K keeps a 64-byte block's sixteen words in an order of its own
// (K::kOrder[k] is the word at position k), in V as in its registers, and
// provides:
//   K::State                      one block in registers;
//   K::load(const uint32_t*)      a block of V (64-byte aligned) into registers;
//   K::store(State, uint32_t*)    and back;
//   K::load_xor(const uint32_t*, const uint32_t*)  two blocks' xor into registers;
//   K::mix(State, const uint32_t*)  Salsa20/8's core of (state ^ block);
//   K::mix(State, const uint32_t*, const uint32_t*)  the same of (state ^ a ^ b);
//   K::first_word(State)          the block's word 0.
// The core's time does not depend on the words; ROMix's memory index does.
#pragma once

#include <cstdint>

namespace quillet::scrypt::detail {
namespace {

constexpr uint32_t kWords = 16;  // in a Salsa block

inline uint32_t rotl(uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

// Salsa20's quarter round on words a, b, c, d of a column or row.
inline void quarter(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  b ^= rotl(a + d, 7);
  c ^= rotl(b + a, 9);
  d ^= rotl(c + b, 13);
  a ^= rotl(d + c, 18);
}

// Y = BlockMix(X ^ W), X and Y 2r blocks in K's order, W the same or (for
// !kXor) nothing. Y's blocks are the even outputs then the odd ones.
// Returns the first word of Y's last block, which ROMix takes its index from.
template <class K, bool kXor>
inline uint32_t block_mix(const uint32_t* x, const uint32_t* w, uint32_t* y, uint32_t r) {
  const uint32_t* last_x = x + (2 * r - 1) * kWords;
  typename K::State t = K::load(last_x);
  if constexpr (kXor) t = K::load_xor(last_x, w + (2 * r - 1) * kWords);
  for (uint32_t i = 0; i < r; ++i) {
    const uint32_t even = 2 * i * kWords, odd = even + kWords;
    if constexpr (kXor) {
      t = K::mix(t, x + even, w + even);
      K::store(t, y + i * kWords);
      t = K::mix(t, x + odd, w + odd);
    } else {
      t = K::mix(t, x + even);
      K::store(t, y + i * kWords);
      t = K::mix(t, x + odd);
    }
    K::store(t, y + (r + i) * kWords);
  }
  return K::first_word(t);
}

// The 128r bytes at `b` (little-endian words) into 2r blocks at `words` in
// K's order, and back.
template <class K>
inline void to_order(const uint8_t* b, uint32_t* words, uint32_t r) {
  for (uint32_t blk = 0; blk < 2 * r; ++blk) {
    for (uint32_t k = 0; k < kWords; ++k) {
      const uint8_t* at = b + 4 * (blk * kWords + K::kOrder[k]);
      words[blk * kWords + k] = static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
                                static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
    }
  }
}

template <class K>
inline void from_order(const uint32_t* words, uint8_t* b, uint32_t r) {
  for (uint32_t blk = 0; blk < 2 * r; ++blk) {
    for (uint32_t k = 0; k < kWords; ++k) {
      const uint32_t word = words[blk * kWords + k];
      uint8_t* at = b + 4 * (blk * kWords + K::kOrder[k]);
      at[0] = static_cast<uint8_t>(word);
      at[1] = static_cast<uint8_t>(word >> 8);
      at[2] = static_cast<uint8_t>(word >> 16);
      at[3] = static_cast<uint8_t>(word >> 24);
    }
  }
}

// B = ROMix(B) with N = n: b holds 128r bytes; v has room for n blocks of
// 32r words, xy for two, all 64-byte aligned. On input n is a power of two,
// 2 <= n <= 2^32. Variable time: the second loop reads V at an index taken
// from the secret state, as the function is defined to (its prefetches too).
template <class K>
void romix_vartime(uint8_t* b, uint32_t r, uint64_t n, uint32_t* v, uint32_t* xy) {
  const uint64_t stride = uint64_t{32} * r;
  uint32_t* x = xy;
  uint32_t* y = xy + stride;
  // V[i] = BlockMix^i(B), each written straight into its slot.
  to_order<K>(b, v, r);
  for (uint64_t i = 0; i + 1 < n; ++i) block_mix<K, false>(v + i * stride, nullptr, v + (i + 1) * stride, r);
  uint32_t j = block_mix<K, false>(v + (n - 1) * stride, nullptr, x, r);
  const uint32_t mask = static_cast<uint32_t>(n - 1);
  for (uint64_t i = 0; i < n; ++i) {
    // All of V[j]'s lines asked for at once, its last (the first one read)
    // first: their misses overlap instead of following one another.
    const uint32_t* vj = v + (j & mask) * stride;
    __builtin_prefetch(vj + (2 * r - 1) * kWords);
    for (uint32_t line = 0; line + 1 < 2 * r; ++line) __builtin_prefetch(vj + line * kWords);
    j = block_mix<K, true>(x, vj, y, r);
    uint32_t* swap = x;
    x = y;
    y = swap;
  }
  from_order<K>(x, b, r);
}

}  // namespace
}  // namespace quillet::scrypt::detail
