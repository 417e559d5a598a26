// The Grain LFSR that generates the Poseidon round constants and the Cauchy
// MDS matrix from the instance's parameters, and the raw parameters it
// yields.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crypto/field/fr.hpp"
#include "crypto/poseidon/matrix.hpp"

namespace quillet::poseidon {

using field::Fr;

// Width of the state, rate and capacity of the system's Poseidon instance.
inline constexpr size_t kWidth = 9;
inline constexpr size_t kRate = 8;

// Significant bits of the modulus of Fr.
inline constexpr unsigned kFieldBits = 254;

class Grain {
 public:
  // An 80-bit register seeded with the instance description (prime field,
  // x^alpha S-box, field size, width, round counts) and warmed up by 160
  // steps. Fails hard when r_f is odd or a value does not fit its field.
  Grain(size_t width, size_t r_f, size_t r_p, unsigned field_bits = kFieldBits);

  // Advances the register one step and returns the new bit.
  bool new_bit();

  // A uniform element: raw samples not below p are discarded.
  Fr next_field_element();

  // A raw sample reduced mod p; never rejects.
  Fr next_field_element_without_rejection();

  // Raw samples discarded so far by next_field_element.
  size_t rejected_samples() const { return rejected_; }

 private:
  // The register's output stream y (y_0 .. y_79 the seeded register, then
  // one bit per step) is kept as 64-bit words, W_t holding y_64t .. y_64t+63
  // with the earliest bit in bit 0. Because the feedback polynomial f
  // satisfies f(x)^64 = f(x^64) over GF(2), the words obey the register's
  // own recurrence one word per step:
  //   W_t = W_t-18 ^ W_t-29 ^ W_t-42 ^ W_t-57 ^ W_t-67 ^ W_t-80.
  static constexpr size_t kSeedWords = 80;  // made bit-serially, 16 steps at a time
  static constexpr size_t kRing = 128;

  // W_next_, then next_ advances.
  uint64_t next_word();
  // Tops pending_ up to more than 64 undelivered bits.
  void refill();
  // `field_bits` filtered bits, the first one most significant, as 32
  // little-endian bytes.
  std::array<uint8_t, 32> raw_sample();

  std::array<uint64_t, kRing> ring_{};  // W_t at index t % kRing
  size_t next_ = 0;
  // The next pending_count_ bits of the stream, the next one in bit 0.
  field::detail::u128 pending_ = 0;
  unsigned pending_count_ = 0;
  unsigned field_bits_;
  size_t rejected_ = 0;
};

using Row = std::array<Fr, kWidth>;

// What one run of the register yields.
struct RawParameters {
  std::vector<Row> constants;  // r_f + r_p rows, in round order
  Row xs;
  Row ys;
  MDSMatrix mds;  // mds[i][j] = (xs[i] + ys[j])^-1
  size_t rejected_samples = 0;
};

// Runs a fresh register for the width-9 instance with r_f full and r_p
// partial rounds. Fails hard on a zero Cauchy denominator.
RawParameters generate(size_t r_f, size_t r_p);

}  // namespace quillet::poseidon
