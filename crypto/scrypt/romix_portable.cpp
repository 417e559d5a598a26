// The portable kernel: Salsa20/8 on sixteen words in plain integers, kept in
// their natural order. Runs everywhere (aarch64 included) and is the
// reference the vector kernels are held to.
#include <cstdint>

#include "crypto/scrypt/romix.hpp"

namespace quillet::scrypt::detail {
namespace {

struct Portable {
  static constexpr uint8_t kOrder[kWords] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

  struct State {
    uint32_t w[kWords];
  };

  static State load(const uint32_t* block) {
    State s;
    for (uint32_t k = 0; k < kWords; ++k) s.w[k] = block[k];
    return s;
  }
  static State load_xor(const uint32_t* a, const uint32_t* b) {
    State s;
    for (uint32_t k = 0; k < kWords; ++k) s.w[k] = a[k] ^ b[k];
    return s;
  }
  static void store(const State& s, uint32_t* block) {
    for (uint32_t k = 0; k < kWords; ++k) block[k] = s.w[k];
  }
  static uint32_t first_word(const State& s) { return s.w[0]; }

  // Salsa20/8's core of `in`: eight rounds (four column and row pairs) on a
  // copy, added to it.
  static State core(const State& in) {
    uint32_t x0 = in.w[0], x1 = in.w[1], x2 = in.w[2], x3 = in.w[3], x4 = in.w[4], x5 = in.w[5],
             x6 = in.w[6], x7 = in.w[7], x8 = in.w[8], x9 = in.w[9], x10 = in.w[10], x11 = in.w[11],
             x12 = in.w[12], x13 = in.w[13], x14 = in.w[14], x15 = in.w[15];
    for (int round = 0; round < 8; round += 2) {
      quarter(x0, x4, x8, x12);
      quarter(x5, x9, x13, x1);
      quarter(x10, x14, x2, x6);
      quarter(x15, x3, x7, x11);
      quarter(x0, x1, x2, x3);
      quarter(x5, x6, x7, x4);
      quarter(x10, x11, x8, x9);
      quarter(x15, x12, x13, x14);
    }
    const uint32_t mixed[kWords] = {x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15};
    State out;
    for (uint32_t k = 0; k < kWords; ++k) out.w[k] = in.w[k] + mixed[k];
    return out;
  }

  static State mix(const State& t, const uint32_t* a) {
    State in;
    for (uint32_t k = 0; k < kWords; ++k) in.w[k] = t.w[k] ^ a[k];
    return core(in);
  }
  static State mix(const State& t, const uint32_t* a, const uint32_t* b) {
    State in;
    for (uint32_t k = 0; k < kWords; ++k) in.w[k] = t.w[k] ^ a[k] ^ b[k];
    return core(in);
  }
};

}  // namespace

void romix_portable_vartime(uint8_t* b, uint32_t r, uint64_t n, uint32_t* v, uint32_t* xy) {
  romix_vartime<Portable>(b, r, n, v, xy);
}

}  // namespace quillet::scrypt::detail
